// The linkdeal-check program end to end, on fabrics fabricgen writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing/generated_fabric.h"
#include "testing/run_binary.h"
#include "testing/test_files.h"

namespace {

// A two-level tree of 4 leaves with 4 hosts and 2 up links each: leaving a
// leaf, 4 pairs share 2 ports.
std::string oversubscribedTree() {
  GenOptions o;
  o.radix = 8;
  o.leaves = 4;
  o.hostsPerLeaf = 4;
  o.upLinks = 2;
  return writeGeneratedFabric(o);
}

BinaryRun check(const std::string& dir, std::vector<std::string> args) {
  std::vector<std::string> all = {"-l", dir + "/fabric.lst", "-f", dir + "/fabric.fdbs"};
  all.insert(all.end(), args.begin(), args.end());
  return runBinary(CHECK_BIN, all, "linkdeal-check");
}

TEST(CheckProgram, LinkdealPairsHoldWithTheirLimit) {
  std::string dir = oversubscribedTree();
  std::string pairs = testPath("pairs");
  BinaryRun made = runBinary(LINKDEAL_BIN, {"-l", dir + "/fabric.lst", "-f", dir + "/fabric.fdbs",
                                            "-i", "^r([0-9]+)n", "-n", "2", "-o", pairs});
  ASSERT_EQ(made.status, 0) << made.out;
  BinaryRun run = check(dir, {"-n", "2", pairs});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("\ncheck: holds (1 stage)\n"), std::string::npos) << run.out;
}

// linkdeal with LMC 1 books whichever LID its walk reached; first fit in file
// order overloads a port on these lists, but a choice that holds exists (the
// one linkdeal booked), and --any-lid must find one.
TEST(CheckProgram, AnyLidFindsAChoiceForLinkdealsLmcPairs) {
  GenOptions o;
  o.levels = 3;
  o.radix = 8;
  o.hostsPerLeaf = 4;
  o.upLinks = 2;
  o.lmc = 1;
  std::string dir = writeGeneratedFabric(o);
  int searched = 0;
  for (const char* n : {"1", "2", "3"})
    for (const char* d : {"0", "5"}) {
      std::string pairs = testPath(std::string("pairs-") + n + "-" + d);
      BinaryRun made =
          runBinary(LINKDEAL_BIN, {"-l", dir + "/fabric.lst", "-f", dir + "/fabric.fdbs", "-i",
                                   "^r([0-9]+)n", "-m", "1", "-n", n, "-d", d, "-o", pairs});
      ASSERT_EQ(made.status, 0) << made.out;
      BinaryRun run = check(dir, {"-m", "1", "-n", n, "--any-lid", pairs});
      EXPECT_EQ(run.status, 0) << "-n " << n << " -d " << d << "\n" << run.out << run.err;
      searched += run.out.find("LID choice: found by search") != std::string::npos;
    }
  EXPECT_GE(searched, 2);  // first fit alone fails some of them
}

TEST(CheckProgram, ShiftedListOverloadsTheUpLinks) {
  std::string dir = oversubscribedTree();
  // Every host sends to the host of the same number on the next leaf.
  std::string list;
  for (int rack = 1; rack <= 4; ++rack)
    for (int n = 1; n <= 4; ++n) {
      char line[64];
      std::snprintf(line, sizeof line, "r%02dn%02d_HCA-1 r%02dn%02d_HCA-1/P1\n", rack, n,
                    rack % 4 + 1, n);
      list += line;
    }
  std::string pairs = writeTestFile("shifted", list);
  BinaryRun run = check(dir, {"--json", "--busiest", "0", pairs});
  ASSERT_EQ(run.status, 1) << run.out << run.err;
  nlohmann::json doc = nlohmann::json::parse(run.out);
  const nlohmann::json& stage = doc["stages"][0];
  EXPECT_FALSE(doc["holds"].get<bool>());
  EXPECT_EQ(stage["max_load"], 2);
  // The 2 up ports of each leaf and the 2 spines' ports down to each leaf:
  // the only ways between leaves. Each is named with its 2 pairs.
  EXPECT_EQ(stage["ports_over_limit"], 16);
  size_t named = 0;
  for (const nlohmann::json& port : stage["busiest"]) {
    if (port["load"] != 2) continue;
    ++named;
    bool up = port["port"].get<std::string>().find("leaf") != std::string::npos;
    EXPECT_NE(port[up ? "remote" : "port"].get<std::string>().find("spine"), std::string::npos)
        << port;
    EXPECT_EQ(port["pairs"].size(), 2u) << port;
  }
  EXPECT_EQ(named, 16u);

  // The text names them too, and -n 2 lets the list pass.
  run = check(dir, {pairs});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("    2  MF0;leaf01:MQM8700/U1/P5 -> MF0;spine01:MQM8700/U1/P1\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(check(dir, {"-n", "2", pairs}).status, 0);
}

TEST(CheckProgram, UsageAndInputErrors) {
  std::string dir = oversubscribedTree();
  std::string bad = writeTestFile("bad", "STAGE 1\nr01n01_HCA-1 r09n09\n");
  struct Case {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {{}, "-l LST is required"},
      {{"-l", dir + "/fabric.lst", bad}, "-f FDBS is required"},
      {{"-l", "x", "-m", "8"}, "-m needs an LMC from 0 to 7, not '8'"},
      {{"-l", "x", "-n", "0"}, "-n needs a number of pairs from 1 up, not '0'"},
      {{"-l", "x", "--unit", "Gbps"}, "--unit takes"},
      {{"-l", "x", "--bogus"}, "unknown option '--bogus'"},
      {{"-l", "x", "-f"}, "needs an argument"},
      {{"-l", dir + "/missing.lst"}, "cannot load the topology"},
      {{"-l", dir + "/fabric.lst", "-f", dir + "/fabric.fdbs", bad},
       ":2: 'r09n09' names no host port of the fabric"},
  };
  for (const Case& c : cases) {
    BinaryRun run = runBinary(CHECK_BIN, c.args, "linkdeal-check");
    EXPECT_EQ(run.status, 2) << c.err;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "") << c.err;
  }
}

TEST(CheckProgram, HelpAndVersion) {
  BinaryRun help = runBinary(CHECK_BIN, {"--help"}, "linkdeal-check");
  EXPECT_EQ(help.status, 0);
  for (const char* option :
       {"--lst", "--fdbs", "--PLFT", "--lmc", "--max-hsd", "--any-lid", "--busiest", "--results",
        "--slow-below", "--unit", "--json", "--help", "--version"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  BinaryRun version = runBinary(CHECK_BIN, {"-V"}, "linkdeal-check");
  BinaryRun theirs = runBinary(LINKDEAL_BIN, {"-V"});
  EXPECT_EQ(version.status, 0);
  std::string number = theirs.out.substr(theirs.out.find("version: "));
  EXPECT_EQ(version.out, "linkdeal-check " + number);
}

// Descriptions are bytes, not always UTF-8: a Latin-1 name on a degraded
// link reaches the JSON document without a pairs file.
TEST(CheckProgram, JsonOfANameThatIsNotUtf8) {
  const std::string dir = oversubscribedTree();
  std::string lst = readTestFile(dir + "/fabric.lst");
  const size_t width = lst.find("PHY=4x", lst.find("{r01n01 HCA-1}"));
  ASSERT_NE(width, std::string::npos);
  lst.replace(width, 6, "PHY=1x");
  for (size_t at; (at = lst.find("{r01n01 HCA-1}")) != std::string::npos;)
    lst.replace(at, 14, "{r01n01 HCA-\xe9}");
  writeTestFile("latin1.lst", lst);
  const BinaryRun run = runBinary(CHECK_BIN, {"-l", testPath("latin1.lst"), "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json doc = nlohmann::json::parse(run.out);
  EXPECT_NE(doc.dump().find("r01n01_HCA-\xef\xbf\xbd/P1"), std::string::npos) << run.out;
}

// Standard output that is lost, or that writes into an input, fails the check.
TEST(CheckProgram, StandardOutputLostOrOntoAnInput) {
  const std::string dir = oversubscribedTree();
  const std::string pairs = writeTestFile("pairs", "r01n01_HCA-1 r02n01_HCA-1\n");
  const std::vector<std::string> args = {"-l", dir + "/fabric.lst", "-f", dir + "/fabric.fdbs",
                                         pairs};
  for (const std::string& redirection :
       {std::string(">/dev/full"), std::string(">&-"), ">>" + pairs}) {
    const BinaryRun run = runBinaryRedirected(CHECK_BIN, args, redirection);
    EXPECT_EQ(run.status, 2) << redirection;
    EXPECT_NE(run.err.find("linkdeal-check: "), std::string::npos) << run.err;
  }
  EXPECT_EQ(readTestFile(pairs), "r01n01_HCA-1 r02n01_HCA-1\n");
}

// The operator's loop with the bandwidth model as the measurement: plan,
// predicted results with links made slow, check with follow-up stages, run
// those, check again, until nothing is left to split. Returns the last
// check's JSON document; every check holds and finds slow pairs. checkArgs
// carry the group rule.
nlohmann::json findBadLinks(const std::string& dir, const std::vector<std::string>& degrade,
                            const std::vector<std::string>& predictArgs,
                            const std::vector<std::string>& checkArgs, size_t* followUps) {
  std::string plan = testPath("plan");
  BinaryRun planned = runBinary(
      PLAN_BIN,
      {"-l", dir + "/fabric.lst", "-f", dir + "/fabric.fdbs", "-i", "^r([0-9]+)n", "-o", plan},
      "linkdeal-plan");
  EXPECT_EQ(planned.status, 0) << planned.out;
  std::vector<std::string> files = {plan};
  nlohmann::json doc;
  for (*followUps = 0; *followUps < 3; ++*followUps) {
    std::string tag = std::to_string(*followUps);
    std::vector<std::string> predict = {"--predict", testPath("results" + tag)};
    for (const std::string& d : degrade) predict.insert(predict.end(), {"--degrade", d});
    predict.insert(predict.end(), predictArgs.begin(), predictArgs.end());
    predict.insert(predict.end(), files.begin(), files.end());
    BinaryRun run = check(dir, predict);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> args = {"--json", "--results", testPath("results" + tag),
                                     "--follow-up", testPath("follow-up" + tag)};
    args.insert(args.end(), checkArgs.begin(), checkArgs.end());
    args.insert(args.end(), files.begin(), files.end());
    run = check(dir, args);
    EXPECT_EQ(run.status, 3) << run.err;
    doc = nlohmann::json::parse(run.out);
    if (doc["follow_up"]["stages"].empty()) break;
    // The follow-up stages hold on their own, like any stage.
    EXPECT_EQ(check(dir, {testPath("follow-up" + tag)}).status, 0);
    EXPECT_EQ(doc["follow_up"]["stages"][0]["stage"], doc["stages"].back()["stage"].get<int>() + 1);
    files.push_back(testPath("follow-up" + tag));
  }
  return doc;
}

// "SWITCH/P<n>" of the port that the named port's link leaves from, as the
// suspect lists name links.
std::vector<std::string> linkNames(const nlohmann::json& links) {
  std::vector<std::string> names;
  for (const nlohmann::json& l : links) names.push_back(l["port"]);
  return names;
}

TEST(CheckProgram, FollowUpsNameTheBadLinkAlone) {
  GenOptions tree;
  tree.radix = 8;
  std::string dir = writeGeneratedFabric(tree);
  const std::string up = "MF0;leaf03:MQM8700/U1/P6";  // a leaf's up-link, one direction
  size_t rounds;
  nlohmann::json doc = findBadLinks(dir, {up + "=0.5"}, {}, {"-i", "^r([0-9]+)n"}, &rounds);
  EXPECT_LE(rounds, 1u);
  const nlohmann::json& suspects = doc["results"]["suspects"];
  ASSERT_EQ(suspects.size(), 1u) << suspects;
  EXPECT_EQ(linkNames(suspects[0]["links"]), std::vector<std::string>{up});
  EXPECT_EQ(doc["results"]["warning"], nullptr);

  // Both directions of a host's cable on a 3-level tree: one cable (the way
  // down shares its pairs with the one spine port that carries this host's
  // LID, which no test can split off).
  GenOptions three;
  three.levels = 3;
  three.radix = 8;
  dir = writeGeneratedFabric(three, "three");
  const std::string host = "r05n02_HCA-1/P1", leaf = "MF0;leaf05:MQM8700/U1/P2";
  doc = findBadLinks(dir, {host + "=0.5", leaf + "=0.5"}, {}, {"--group-by", "leaf"}, &rounds);
  EXPECT_LE(rounds, 1u);
  const nlohmann::json& cable = doc["results"]["suspects"];
  ASSERT_EQ(cable.size(), 1u) << cable;
  EXPECT_TRUE(cable[0]["cable"].get<bool>());
  std::vector<std::string> links = linkNames(cable[0]["links"]);
  EXPECT_EQ(std::count(links.begin(), links.end(), host), 1) << cable;
  EXPECT_EQ(std::count(links.begin(), links.end(), leaf), 1) << cable;
  for (const nlohmann::json& group : cable[0]["inseparable"])
    EXPECT_EQ(linkNames(group).size(), links.size() - 1) << cable;
}

TEST(CheckProgram, SlowHostsAndOtherUnitsStillFindTheLink) {
  GenOptions tree;
  tree.radix = 8;
  std::string dir = writeGeneratedFabric(tree);
  const std::string down = "MF0;spine02:MQM8700/U1/P4";  // a spine's port down to leaf04
  struct Case {
    std::vector<std::string> predict, check;
    const char* warning;
  } cases[] = {
      // Hosts at half the link rate, a link at a quarter of it.
      {{"--host-rate", "100"}, {"-i", "^r([0-9]+)n"}, "hosts limited"},
      {{"--host-rate", "100"}, {"-i", "^r([0-9]+)n", "--host-rate", "100"}, nullptr},
      // ib_write_bw's MB/s, checked as Gb/s.
      {{"--unit", "MB/s"}, {"-i", "^r([0-9]+)n"}, "another unit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.predict.back() + (c.check.size() > 2 ? " given" : ""));
    size_t rounds;
    nlohmann::json doc = findBadLinks(dir, {down + "=0.25"}, c.predict, c.check, &rounds);
    const nlohmann::json& suspects = doc["results"]["suspects"];
    ASSERT_EQ(suspects.size(), 1u) << suspects;
    // This spine port carries one host's LID: no test separates it from that
    // host's own link down, and the check says so.
    std::vector<std::string> links = linkNames(suspects[0]["links"]);
    EXPECT_EQ(links, (std::vector<std::string>{"MF0;leaf04:MQM8700/U1/P2", down}));
    ASSERT_EQ(suspects[0]["inseparable"].size(), 1u) << suspects;
    EXPECT_EQ(linkNames(suspects[0]["inseparable"][0]), links);
    if (c.warning)
      EXPECT_NE(doc["results"]["warning"].get<std::string>().find(c.warning), std::string::npos)
          << doc["results"]["warning"];
    else
      EXPECT_EQ(doc["results"]["warning"], nullptr);
  }

  // Hosts said to be faster than they are: most pairs are slow, and the
  // check says so rather than naming every link.
  ASSERT_EQ(
      check(dir, {"--predict", testPath("half"), "--host-rate", "100", testPath("plan")}).status,
      0);
  BinaryRun run =
      check(dir, {"--json", "--host-rate", "200", "--results", testPath("half"), testPath("plan")});
  EXPECT_EQ(run.status, 3) << run.err;
  nlohmann::json doc = nlohmann::json::parse(run.out);
  EXPECT_TRUE(doc["results"]["most_slow"].get<bool>());
  EXPECT_TRUE(doc["results"]["suspects"].empty());
}

}  // namespace
