// Whole runs on inputs an operator's scripts really produce: unwritable
// outputs, cut or foreign input files, huge fabrics with nothing routed,
// LIDs at the top of the range, forwarding loops. Each must end with its
// message and status, never a crash or a hang, and keep the pairs it wrote.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fabric/dumps/writers.h"
#include "fabric/fabric.h"
#include "pairs/pairs_file.h"
#include "search/pairing.h"
#include "testing/generated_fabric.h"
#include "testing/run_binary.h"
#include "testing/test_files.h"

namespace {

std::string lastLine(const std::string& text) {
  if (text.empty()) return "";
  size_t end = text.back() == '\n' ? text.size() - 1 : text.size();
  size_t start = text.rfind('\n', end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1));
}

// One switch "sw" (LID 1) and a host on each port, named and with the base
// LIDs given; the switch forwards each host's LIDs (2^lmc of them) to its
// port.
void buildStar(IBFabric& fabric, const std::vector<std::string>& hosts,
               const std::vector<uint16_t>& lids, unsigned lmc = 0) {
  std::vector<NodeDecl> decls;
  decls.push_back({IB_SW_NODE, "sw", "sw", 0x100, 0x100, static_cast<uint8_t>(hosts.size()), 1});
  for (size_t i = 0; i < hosts.size(); ++i)
    decls.push_back({IB_CA_NODE, hosts[i], hosts[i], 0x1000 + i, 0x1000 + i, 1, 0});
  std::string err;
  ASSERT_EQ(fabric.createNodes(std::move(decls), &err), 0) << err;
  IBNode* sw = fabric.getNode("sw");
  sw->setLFTPortForLid(1, 0, 0);
  for (size_t i = 0; i < hosts.size(); ++i) {
    IBPort* host = fabric.getPort(hosts[i], 1);
    host->baseLid = lids[i];
    host->guid = 0x2000 + i;
    IBFabric::link(host, sw->getPort(static_cast<unsigned>(i + 1)));
    for (unsigned k = 0; k < (1u << lmc); ++k)
      sw->setLFTPortForLid(static_cast<uint16_t>(lids[i] + k), static_cast<uint8_t>(i + 1), 0);
  }
}

std::string writeFabric(const IBFabric& fabric, const std::string& dir) {
  std::string err;
  EXPECT_TRUE(writeFabricFiles(fabric, dir, 'A', &err)) << err;
  return dir + "/";
}

BinaryRun linkdeal(const std::vector<std::string>& args) {
  BinaryRun run = runBinary(LINKDEAL_BIN, args);
  EXPECT_TRUE(run.spawnError.empty()) << run.spawnError;
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.signal, 0);
  return run;
}

const std::string kHeader = std::string(kPairsFileHeader) + "STAGE 1\n";

TEST(HostileInputs, UnwritablePairsFile) {
  std::string dir = makeTestDir();
  IBFabric fabric;
  buildStar(fabric, {"a1", "b1", "c1"}, {2, 3, 4});
  std::string files = writeFabric(fabric, dir);
  std::string readOnly = dir + "/read-only";
  FILE* f = std::fopen(readOnly.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("keep me\n", f);
  std::fclose(f);
  chmod(readOnly.c_str(), 0444);

  for (const std::string& out :
       {dir + "/no/such/folder/pairs", std::string("/dev/full"), dir, readOnly}) {
    std::vector<std::string> args = {"-l", files + "fabric.lst", "-f", files + "fabric.fdbs",
                                     "-i", "^([a-z])",           "-o", out};
    BinaryRun run;
    if (out == readOnly && geteuid() == 0) {
      // Root writes through file modes: run as nobody to see the refusal.
      chmod(dir.c_str(), 0755);
      args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", LINKDEAL_BIN});
      run = runBinary("/usr/bin/setpriv", args, "setpriv");
    } else {
      run = linkdeal(args);
    }
    EXPECT_EQ(run.status, 1) << out << "\n" << run.out << run.err;
    EXPECT_EQ(lastLine(run.out), "-E- cant write:" + out) << out;
    EXPECT_EQ(run.out.find("-I- Wrote "), std::string::npos) << out;
  }
  EXPECT_EQ(readTestFile(readOnly), "keep me\n");
}

// -o naming an input, directly or through a link, is refused before any
// file is opened for writing: the input stays as it was.
TEST(HostileInputs, PairsFileOverAnInput) {
  std::string dir = makeTestDir();
  IBFabric fabric;
  buildStar(fabric, {"a1", "b1"}, {2, 3});
  std::string files = writeFabric(fabric, dir);
  const std::string lst = readTestFile(files + "fabric.lst");
  ASSERT_EQ(symlink((files + "fabric.fdbs").c_str(), (dir + "/link").c_str()), 0);
  for (const std::string& out : {files + "fabric.lst", dir + "/link"}) {
    const std::string fdbs = readTestFile(files + "fabric.fdbs");
    BinaryRun run = linkdeal(
        {"-l", files + "fabric.lst", "-f", files + "fabric.fdbs", "-i", "^([a-z])", "-o", out});
    EXPECT_EQ(run.status, 1) << out;
    EXPECT_EQ(lastLine(run.out), "-E- cant write:" + out);
    EXPECT_NE(run.err.find(out + " is an input of this run"), std::string::npos) << run.err;
    EXPECT_EQ(readTestFile(files + "fabric.lst"), lst);
    EXPECT_EQ(readTestFile(files + "fabric.fdbs"), fdbs);
  }
}

// Standard output that cannot be written, full or closed, fails the run, even
// a complete one; a closed one never makes the console lines land in the
// pairs file opened in its place.
TEST(HostileInputs, StandardOutputFullOrClosed) {
  std::string dir = makeTestDir();
  IBFabric fabric;
  buildStar(fabric, {"a1", "b1"}, {2, 3});
  std::string files = writeFabric(fabric, dir);
  for (const char* redirection : {">/dev/full", ">&-"}) {
    BinaryRun run = runBinaryRedirected(LINKDEAL_BIN,
                                        {"-l", files + "fabric.lst", "-f", files + "fabric.fdbs",
                                         "-i", "^([a-z])", "-o", dir + "/pairs"},
                                        redirection);
    EXPECT_EQ(run.status, 1) << redirection;
    EXPECT_EQ(run.err.rfind("-E- cant write standard output", 0), 0u) << run.err;
    EXPECT_EQ(readTestFile(dir + "/pairs"), kHeader + "a1/P1 b1/P1\nb1/P1 a1/P1\n");
  }
}

TEST(HostileInputs, BrokenInputFiles) {
  std::string dir = makeTestDir();
  IBFabric fabric;
  buildStar(fabric, {"a1", "b1", "c1"}, {2, 3, 4});
  fabric.getNode("sw")->ingressTable = {0, 0, 0, 0};  // so that a PLFT file is written
  std::string files = writeFabric(fabric, dir);

  struct Input {
    const char* option;
    const char* file;
    const char* message;
  };
  const Input inputs[] = {{"-l", "fabric.lst", "-E- Fail to parse lst: "},
                          {"-f", "fabric.fdbs", "-E- Fail to parse fdbs: "},
                          {"-P", "fabric.plft", "-E- Fail to parse PLFT: "}};
  for (const Input& input : inputs) {
    std::string good = readTestFile(files + input.file);
    ASSERT_FALSE(good.empty()) << input.file;
    // The last line cut after five characters: no form accepts what is left.
    size_t lastStart = good.rfind('\n', good.size() - 2) + 1;
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 37) & 0xff);
    const std::pair<const char*, std::string> variants[] = {
        {"empty", ""},
        {"binary", binary},
        {"truncated", good.substr(0, lastStart + 5)},
        {"huge line", good + std::string(10 << 20, 'x')},
    };
    for (const auto& [what, contents] : variants) {
      std::string path = dir + "/bad-" + input.file;
      FILE* f = std::fopen(path.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      std::fwrite(contents.data(), 1, contents.size(), f);
      std::fclose(f);
      std::vector<std::string> args = {"-l", files + "fabric.lst",  "-f", files + "fabric.fdbs",
                                       "-P", files + "fabric.plft", "-i", "^([a-z])",
                                       "-o", dir + "/pairs"};
      for (size_t i = 0; i < args.size(); i += 2)
        if (args[i] == input.option) args[i + 1] = path;
      BinaryRun run = linkdeal(args);
      std::string label = std::string(input.file) + " " + what;
      EXPECT_EQ(run.status, 1) << label;
      EXPECT_EQ(lastLine(run.out), input.message + path) << label;
      EXPECT_NE(run.err.find(path), std::string::npos) << label << ": " << run.err;
      EXPECT_LT(run.err.size(), 4096u) << label;  // one message, not the input echoed
    }
  }
}

// 50,000 hosts under 200 switches whose tables route nothing: the route
// check must fail quickly and print a bounded report.
TEST(HostileInputs, FiftyThousandHostsWithoutRoutes) {
  std::string dir = makeTestDir();
  const int kSwitches = 200, kHostsPerSwitch = 250;
  std::vector<NodeDecl> decls;
  for (int s = 0; s < kSwitches; ++s) {
    std::string name = "sw" + std::to_string(s);
    decls.push_back({IB_SW_NODE, name, name, 0x100000u + s, 0x100000u + s, kHostsPerSwitch,
                     static_cast<uint16_t>(1 + s)});
  }
  for (int h = 0; h < kSwitches * kHostsPerSwitch; ++h) {
    char name[32];
    std::snprintf(name, sizeof name, "r%dn%d", h / kHostsPerSwitch, h);
    decls.push_back({IB_CA_NODE, name, name, 0x200000u + h, 0x200000u + h, 1, 0});
  }
  IBFabric fabric;
  std::string err;
  ASSERT_EQ(fabric.createNodes(std::move(decls), &err), 0) << err;
  std::string fdb;
  for (int h = 0; h < kSwitches * kHostsPerSwitch; ++h) {
    IBNode& host = fabric.nodes()[kSwitches + h];
    IBNode& sw = fabric.nodes()[h / kHostsPerSwitch];
    host.portTable[1]->baseLid = static_cast<uint16_t>(1000 + h);
    host.portTable[1]->guid = host.nodeGuid + 1;
    IBFabric::link(host.portTable[1], sw.portTable[1 + h % kHostsPerSwitch]);
  }
  ASSERT_TRUE(writeLstFile(fabric, dir + "/fabric.lst", &err)) << err;
  for (int s = 0; s < kSwitches; ++s) {
    char header[64];
    std::snprintf(header, sizeof header, "dump_ucast_routes: Switch 0x%016" PRIx64 "\n",
                  fabric.nodes()[s].nodeGuid);
    fdb += header;
  }
  std::string fdbPath = dir + "/fabric.fdbs";
  FILE* f = std::fopen(fdbPath.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs(fdb.c_str(), f);
  std::fclose(f);

  BinaryRun run = linkdeal(
      {"-l", dir + "/fabric.lst", "-f", fdbPath, "-i", "^r([0-9]+)n", "-o", dir + "/pairs"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(lastLine(run.out), "-E- Some missing CA to CA paths");
  EXPECT_NE(run.out.find("-I- Total of 50000 nodes (skipped 0)"), std::string::npos);
  size_t errLines = 0;
  for (char c : run.err) errLines += c == '\n';
  EXPECT_GE(errLines, 2u);
  // 20 routes, the count of the rest, and the warning about the LIDs above
  // 0xBFFF that 50,000 hosts from LID 1000 reach.
  EXPECT_LE(errLines, 22u) << run.err.substr(0, 2000);

  // Trusted, every source is tried and none finds a way out of its switch.
  BinaryRun trusted = linkdeal(
      {"-l", dir + "/fabric.lst", "-f", fdbPath, "-i", "^r([0-9]+)n", "-t", "-o", dir + "/pairs"});
  EXPECT_EQ(trusted.status, 0);
  EXPECT_EQ(lastLine(trusted.out), "-W- Could not map 50000 sources");
}

// Base LID 0xFFFF with LMC 1 owns LIDs 0xFFFF and 0: the range wraps.
TEST(HostileInputs, LidsAtTheTopOfTheRange) {
  std::string dir = makeTestDir();
  IBFabric fabric;
  buildStar(fabric, {"a1", "b1", "c1"}, {0xFFFF, 2, 4}, 1);
  std::string files = writeFabric(fabric, dir);
  BinaryRun run = linkdeal({"-l", files + "fabric.lst", "-f", files + "fabric.fdbs", "-i",
                            "^([a-z])", "-m", "1", "-o", dir + "/pairs"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  // a1 takes b1; b1 takes a1 through its wrapped LIDs; nothing is left for c1.
  EXPECT_NE(run.out.find("-I- Wrote 2 pairs into: " + dir + "/pairs\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(readTestFile(dir + "/pairs"), kHeader + "a1/P1 b1/P1\nb1/P1 a1/P1\n");
}

// -m 3 on dumps of a fabric that uses LMC 2: the hosts' LID ranges overlap,
// which is warned about, and still no host is paired with itself or its rack.
TEST(HostileInputs, LmcAboveTheFabrics) {
  const std::string dumps =
      std::string(LINKDEAL_SOURCE_DIR) + "/../shared/realdumps/ft2-64-lmc2-updn/";
  if (!std::filesystem::exists(dumps + "opensm-subnet.lst")) GTEST_SKIP() << "no real dumps";
  std::string dir = makeTestDir();
  BinaryRun run = linkdeal({"-l", dumps + "opensm-subnet.lst", "-f", dumps + "opensm.fdbs", "-i",
                            "^r([0-9]+)n", "-m", "3", "-o", dir + "/pairs"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.err.find(" is not a multiple of 8 (LMC 3)\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" overlap LIDs "), std::string::npos) << run.err;
  std::vector<std::string> lines = splitLines(readTestFile(dir + "/pairs"));
  ASSERT_GT(lines.size(), 5u);
  auto rack = [](const std::string& port) { return port.substr(0, port.find('n')); };
  for (size_t i = 5; i < lines.size(); ++i) {
    const std::string& pair = lines[i];
    EXPECT_NE(rack(pair), rack(pair.substr(pair.find(' ') + 1))) << pair;
  }
}

TEST(HostileInputs, ForwardingLoop) {
  std::string dir = makeTestDir();
  GenOptions options;
  options.radix = 8;
  options.leaves = 4;
  options.faultLoop = true;
  std::string files = writeFabric(generatedFabric(options), dir);
  std::vector<std::string> args = {"-l", files + "fabric.lst", "-f", files + "fabric.fdbs",
                                   "-i", "^r([0-9]+)n",        "-o", dir + "/pairs"};
  BinaryRun checked = linkdeal(args);
  EXPECT_EQ(checked.status, 1);
  EXPECT_EQ(lastLine(checked.out), "-E- Some missing CA to CA paths");
  EXPECT_NE(checked.err.find("loop"), std::string::npos) << checked.err;

  // Trusted, the walk must not follow the loop forever; the looping LID's
  // owner is simply not found along that branch.
  args.push_back("-t");
  BinaryRun trusted = linkdeal(args);
  EXPECT_EQ(trusted.status, 0) << trusted.out;
  EXPECT_NE(trusted.out.find("-W- Skip all CA to CA paths check"), std::string::npos);
  EXPECT_NE(trusted.out.find("-I- Wrote "), std::string::npos);
}

// A fatal error in the middle of the pairing keeps the pairs already written.
TEST(HostileInputs, PairsBeforeAFatalErrorStay) {
  std::string dir = makeTestDir();
  IBFabric fabric;
  // Group a: a1, a2; group b: b1 and b2, whose port 1 is cabled to the
  // ungrouped host x1 instead of the switch.
  std::vector<NodeDecl> decls = {{IB_SW_NODE, "sw", "sw", 0x100, 0x100, 3, 1},
                                 {IB_CA_NODE, "a1", "a1", 0x1001, 0x1001, 1, 0},
                                 {IB_CA_NODE, "a2", "a2", 0x1002, 0x1002, 1, 0},
                                 {IB_CA_NODE, "b1", "b1", 0x1003, 0x1003, 1, 0},
                                 {IB_CA_NODE, "b2", "b2", 0x1004, 0x1004, 1, 0},
                                 {IB_CA_NODE, "x1", "x1", 0x1005, 0x1005, 1, 0}};
  std::string err;
  ASSERT_EQ(fabric.createNodes(std::move(decls), &err), 0) << err;
  IBNode* sw = fabric.getNode("sw");
  const char* onSwitch[] = {"a1", "a2", "b1"};
  for (unsigned i = 0; i < 3; ++i) {
    IBPort* host = fabric.getPort(onSwitch[i], 1);
    host->baseLid = static_cast<uint16_t>(2 + i);
    host->guid = 0x2000 + i;
    IBFabric::link(host, sw->getPort(i + 1));
    sw->setLFTPortForLid(host->baseLid, static_cast<uint8_t>(i + 1), 0);
  }
  IBPort* b2 = fabric.getPort("b2", 1);
  IBPort* x1 = fabric.getPort("x1", 1);
  b2->baseLid = 5;
  x1->baseLid = 6;
  b2->guid = 0x2003;
  x1->guid = 0x2004;
  IBFabric::link(b2, x1);
  std::string files = writeFabric(fabric, dir);

  BinaryRun run = linkdeal({"-l", files + "fabric.lst", "-f", files + "fabric.fdbs", "-i",
                            "^([ab])[0-9]", "-t", "-o", dir + "/pairs"});
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_EQ(lastLine(run.out), "-E- Remote node is not a switch for src: b2/P1");
  // Group a went first: one of its hosts took b1, the only reachable b.
  std::string pairs = readTestFile(dir + "/pairs");
  ASSERT_EQ(pairs.substr(0, kHeader.size()), kHeader);
  std::string first = pairs.substr(kHeader.size());
  EXPECT_TRUE(first.rfind("a1/P1 b1/P1\n", 0) == 0 || first.rfind("a2/P1 b1/P1\n", 0) == 0)
      << pairs;
}

}  // namespace
