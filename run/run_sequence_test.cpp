// The run sequence, end to end: which file is loaded when, what a failure
// prints, and the exit status. A small fabric: one switch, three hosts.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "run/run.h"
#include "testing/run_binary.h"
#include "testing/test_files.h"

namespace {

const std::string kSep(74, '-');
const char kRacks[] = "^r([0-9]+)n";

std::string lstEnd(const char* type, int ports, uint64_t guid, uint64_t portGuid,
                   const char* description, int lid, int port) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "{ %s Ports:%02X SystemGUID:%016" PRIx64 " NodeGUID:%016" PRIx64
                " PortGUID:%016" PRIx64
                " VenID:000002C9 DevID:101B Rev:00000000 {%s} LID:%04X PN:%02X }",
                type, ports, guid, guid, portGuid, description, lid, port);
  return buf;
}

// Host with LID = switch port = n, named r1n1, r2n1 or (n = 3) mgmt.
std::string hostLink(int n) {
  static const char* const names[] = {"", "r1n1 HCA-1", "r2n1 HCA-1", "mgmt HCA-1"};
  uint64_t guid = 0x10u * n;
  return lstEnd("CA", 1, guid + 1, guid + 2, names[n], n == 3 ? 4 : n, 1) + " " +
         lstEnd("SW", 4, 0x100, 0x100, "sw1", 3, n) + " PHY=4x LOG=ACT SPD=50\n";
}

const std::string kLst = hostLink(1) + hostLink(2) + hostLink(3);

const char kFdb[] =
    "dump_ucast_routes: Switch 0x0000000000000100\n"
    "LID    : Port : Hops : Optimal\n"
    "0x0001 : 001  : 01   : yes\n"
    "0x0002 : 002  : 01   : yes\n"
    "0x0003 : 000  : 00   : yes\n"
    "0x0004 : 003  : 01   : yes\n";

// r2n1 cannot be reached.
const char kFdbHole[] =
    "dump_ucast_routes: Switch 0x0000000000000100\n"
    "LID    : Port : Hops : Optimal\n"
    "0x0001 : 001  : 01   : yes\n"
    "0x0002 : UNREACHABLE\n"
    "0x0003 : 000  : 00   : yes\n"
    "0x0004 : 003  : 01   : yes\n";

// Port 9 on a four-port switch.
const char kFdbBad[] =
    "dump_ucast_routes: Switch 0x0000000000000100\n"
    "0x0001 : 009  : 01   : yes\n";

// Packets from r2n1 use table 1, which only this map makes acceptable in
// the forwarding tables below.
const char kPlft[] =
    "dump_plft: Switch 0x0000000000000100\n"
    "Port : PLFT\n"
    "001 : 0\n"
    "002 : 1\n";

const std::string kFdbWithTable1 = std::string(kFdb) +
                                   "dump_ucast_routes: Switch 0x0000000000000100 PLFT 1\n"
                                   "0x0001 : 001  : 01   : yes\n"
                                   "0x0003 : 000  : 00   : yes\n"
                                   "0x0004 : 003  : 01   : yes\n";

// A switch the topology does not have.
const char kPlftBad[] =
    "dump_plft: Switch 0x0000000000000999\n"
    "Port : PLFT\n"
    "001 : 0\n";

const std::vector<std::string> kGroupReport = {
    std::string("-I- definding nodes by regexp: ") + kRacks,
    "-I- group: 1 has: 1 ports",
    "-I- group: 2 has: 1 ports",
    "-I- Total of 2 nodes (skipped 1)",
};

struct Case {
  const char* name = "";
  std::string lst = "";  // contents, written to a file unless missingLst
  std::string fdbs = "";
  const char* plft = nullptr;  // contents; nullptr: no -P at all
  std::string regex = kRacks;
  bool trust = false;
  bool missingLst = false;
  bool plftEmptyArg = false;           // -P with an empty argument
  bool grouped = true;                 // the group report is expected before `then`
  std::vector<std::string> then = {};  // lines after the echo (and group report)
  bool exact = true;                   // stdout ends with `then`
  int status = 1;
  std::string errHas = "";  // part of standard error; a complete run writes none
};

std::string lines(const std::vector<std::string>& texts) {
  std::string all;
  for (const std::string& t : texts) all += t + "\n";
  return all;
}

void check(const std::vector<Case>& cases) {
  int index = 0;
  for (const Case& c : cases) {
    std::string tag = std::to_string(index++);
    std::string lst = c.missingLst ? testing::TempDir() + "/no-such-file.lst"
                                   : writeTestFile(tag + ".lst", c.lst);
    std::string fdbs = writeTestFile(tag + ".fdbs", c.fdbs);
    std::string out = writeTestFile(tag + ".pairs", "left from before\n");
    std::vector<std::string> args = {"-l", lst, "-f", fdbs};
    std::vector<std::string> echo = {kSep, "-I- LST file:" + lst, "-I- FDBs file:" + fdbs};
    std::string plft;
    if (c.plft || c.plftEmptyArg) {
      if (c.plft) plft = writeTestFile(tag + ".plft", c.plft);
      args.insert(args.end(), {"-P", plft});
      echo.push_back("-I- PLFT File: " + plft);
    }
    args.insert(args.end(), {"-i", c.regex, "-o", out});
    echo.push_back("-I- Groups Regular Expression:" + c.regex);
    if (c.trust) {
      args.push_back("-t");
      echo.push_back("-I- Trust FDBs and skip CA to CA verification");
    }
    echo.push_back(kSep);
    if (c.grouped) echo.insert(echo.end(), kGroupReport.begin(), kGroupReport.end());

    // File names in the expected text are only known here.
    auto named = [&](std::string text) {
      for (auto [key, value] :
           {std::pair<std::string, std::string>{"$LST", lst}, {"$FDBS", fdbs}, {"$PLFT", plft}}) {
        if (size_t at = text.find(key); at != std::string::npos)
          text.replace(at, key.size(), value);
      }
      return text;
    };
    std::vector<std::string> then;
    for (const std::string& line : c.then) then.push_back(named(line));
    std::string expected = lines(echo) + lines(then);

    BinaryRun run = runBinary(LINKDEAL_BIN, args);
    ASSERT_EQ(run.spawnError, "") << c.name;
    if (c.exact) {
      EXPECT_EQ(run.out, expected) << c.name;
    } else {
      EXPECT_EQ(run.out.substr(0, expected.size()), expected) << c.name;
      EXPECT_EQ(run.out.find("-E- "), std::string::npos) << c.name << "\n" << run.out;
    }
    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.out << run.err;
    // -o reaches the pairing run; a failed load never gets that far.
    std::string pairs = readTestFile(out);
    if (c.status == 0) {
      EXPECT_EQ(run.err, "") << c.name;
      EXPECT_EQ(pairs.rfind("# This file was generated by linkdeal\n", 0), 0u) << c.name;
    } else {
      EXPECT_NE(run.err.find(named(c.errHas)), std::string::npos) << c.name << "\n" << run.err;
      EXPECT_EQ(pairs, "left from before\n") << c.name;
    }
    EXPECT_FALSE(run.timedOut) << c.name;
  }
}

TEST(RunSequence, LoadingFailures) {
  check({
      {.name = "topology rejected, before any grouping",
       .lst = "this is not a topology file\n",
       .fdbs = kFdb,
       .grouped = false,
       .then = {"-E- Fail to parse lst: $LST"},
       .errHas = "$LST:"},
      {.name = "topology file missing",
       .fdbs = kFdb,
       .missingLst = true,
       .grouped = false,
       .then = {"-E- Fail to parse lst: $LST"},
       .errHas = "$LST:"},
      {.name = "expression fails before the forwarding tables are read",
       .lst = kLst,
       .fdbs = kFdbBad,
       .regex = "(",
       .grouped = false,
       .then = {"-E- Fail to compile regular expression:("}},
      {.name = "private tables rejected",
       .lst = kLst,
       .fdbs = kFdb,
       .plft = kPlftBad,
       .then = {"-E- Fail to parse PLFT: $PLFT"},
       .errHas = "$PLFT:"},
      {.name = "forwarding tables rejected",
       .lst = kLst,
       .fdbs = kFdbBad,
       .then = {"-E- Fail to parse fdbs: $FDBS"},
       .errHas = "$FDBS:"},
      {.name = "a host cannot be reached",
       .lst = kLst,
       .fdbs = kFdbHole,
       .then = {"-E- Some missing CA to CA paths"}},
  });
}

TEST(RunSequence, CompleteRuns) {
  check({
      {.name = "complete routes", .lst = kLst, .fdbs = kFdb, .exact = false, .status = 0},
      {.name = "-t skips the route check that would fail",
       .lst = kLst,
       .fdbs = kFdbHole,
       .trust = true,
       .then = {"-W- Skip all CA to CA paths check"},
       .exact = false,
       .status = 0},
      {.name = "-t says so even when every route is complete",
       .lst = kLst,
       .fdbs = kFdb,
       .trust = true,
       .then = {"-W- Skip all CA to CA paths check"},
       .exact = false,
       .status = 0},
      {.name = "private tables loaded before the forwarding tables",
       .lst = kLst,
       .fdbs = kFdbWithTable1,
       .plft = kPlft,
       .exact = false,
       .status = 0},
      {.name = "a two-port host cabled on port 2 only is passed over, the rest paired",
       .lst = kLst + lstEnd("CA", 2, 0x51, 0x53, "r3n1 HCA-1", 5, 2) + " " +
              lstEnd("SW", 4, 0x100, 0x100, "sw1", 3, 4) + "\n",
       .fdbs = std::string(kFdb) + "0x0005 : 004  : 01   : yes\n",
       .exact = false,
       .status = 0},
      {.name = "-P with an empty argument reads no private tables",
       .lst = kLst,
       .fdbs = kFdb,
       .plftEmptyArg = true,
       .exact = false,
       .status = 0},
  });
}

// The phase observer hears of each step that ended well, in order, and of
// nothing after a failure.
TEST(RunSequence, PhaseObserverHearsTheStepsDone) {
  RunOptions options;
  options.lstFile = writeTestFile("lst", kLst);
  options.groupRegex = kRacks;
  options.outFile = testPath("pairs");
  using P = RunPhase;
  const std::pair<std::string, std::vector<P>> cases[] = {
      {kFdb, {P::kTopology, P::kGrouping, P::kTables, P::kRouteCheck, P::kPairing}},
      {kFdbBad, {P::kTopology, P::kGrouping}},
      {kFdbHole, {P::kTopology, P::kGrouping, P::kTables}},
  };
  for (const auto& [fdbs, expected] : cases) {
    options.fdbsFile = writeTestFile("fdbs", fdbs);
    std::vector<P> heard;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = runLinkdeal(options, [&](P phase) { heard.push_back(phase); });
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, expected.size() == 5 ? 0 : 1);
    EXPECT_EQ(heard, expected) << fdbs;
  }
}

}  // namespace
