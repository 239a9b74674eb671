// Where pair ends run: hosts and devices from node descriptions and the map
// file, TCP ports per host, and the words and scripts handed to launchers.
#include "testrun/pair_ends.h"

#include <gtest/gtest.h>

#include "testing/run_binary.h"
#include "testing/test_files.h"
#include "testrun/launchers.h"
#include "testrun/shell_words.h"
#include "testrun/stage_pairs.h"

namespace {

NodeDecl host(const char* name, const char* description, uint64_t guid, uint8_t ports = 1) {
  return {IB_CA_NODE, name, description, guid, 0, ports, 0};
}

struct Hosts {
  IBFabric f;
  Hosts() {
    EXPECT_EQ(f.createNodes(
                  {host("h1_mlx5_0", "h1 mlx5_0", 0x10), host("h2_HCA-1", "h2 HCA-1", 0x20),
                   host("h3_mlx5_1", "h3 mlx5_1", 0x30, 2), host("0x0000000000000040", "", 0x40),
                   host("-oProxyCommand=x_y", "-oProxyCommand=x y", 0x50)}),
              0);
    for (IBPort& p : f.ports()) p.guid = p.owner->nodeGuid + p.portNumber;
  }
  const IBPort* port(const char* node, unsigned n = 1) { return f.getPort(node, n); }
};

TEST(PairEnds, HostAndDeviceFromTheDescription) {
  Hosts h;
  HostMap none;
  PairEnd a = resolvePairEnd(h.port("h1_mlx5_0"), none, "mlx4_0");
  EXPECT_EQ(a.host, "h1");
  EXPECT_EQ(a.device, "mlx5_0");
  PairEnd b = resolvePairEnd(h.port("h2_HCA-1"), none, "mlx4_0");
  EXPECT_EQ(b.host, "h2");
  EXPECT_EQ(b.device, "mlx4_0") << "HCA-1 is no device: --device's";
  EXPECT_EQ(resolvePairEnd(h.port("h2_HCA-1"), none, "").device, "");
  PairEnd c = resolvePairEnd(h.port("h3_mlx5_1", 2), none, "");
  EXPECT_EQ(c.ibPort, 2u);
  // No host to take: an empty description, and one that would be an option.
  for (const char* node : {"0x0000000000000040", "-oProxyCommand=x_y"}) {
    PairEnd e = resolvePairEnd(h.port(node), none, "");
    EXPECT_EQ(e.host, "") << node;
    EXPECT_NE(e.problem.find("--map"), std::string::npos) << e.problem;
  }
  for (const char* d : {"mlx5_0", "mlx4_1", "ibp65s0", "qib0", "hfi1_0"})
    EXPECT_TRUE(looksLikeDevice(d)) << d;
  for (const char* d : {"HCA-1", "HCA1", "mlx5_", "", "1mlx"})
    EXPECT_FALSE(looksLikeDevice(d)) << d;
}

TEST(PairEnds, MapFileOverridesNodeAndPort) {
  Hosts h;
  EndpointIndex endpoints(h.f);
  std::string file = writeTestFile("map",
                                   "# endpoint host device port\n"
                                   "h3_mlx5_1 node3 mlx5_7\n"
                                   "h3_mlx5_1/P2 node3b mlx5_8 1\n"
                                   "0x0000000000000041 gpu40\n");
  HostMap map;
  std::string err;
  ASSERT_TRUE(readHostMap(file, endpoints, &map, &err)) << err;
  PairEnd p1 = resolvePairEnd(h.port("h3_mlx5_1", 1), map, "");
  EXPECT_EQ(p1.host + " " + p1.device + " " + std::to_string(p1.ibPort), "node3 mlx5_7 1");
  PairEnd p2 = resolvePairEnd(h.port("h3_mlx5_1", 2), map, "");
  EXPECT_EQ(p2.host + " " + p2.device + " " + std::to_string(p2.ibPort), "node3b mlx5_8 1");
  EXPECT_EQ(resolvePairEnd(h.port("0x0000000000000040"), map, "mlx5_0").host, "gpu40");

  const char* bad[][2] = {{"h1_mlx5_0\n", "expected"},
                          {"nosuch host\n", "nosuch"},
                          {"h1_mlx5_0 -oX\n", "no host name"},
                          {"h1_mlx5_0 h 'd'\n", "no device name"},
                          {"h1_mlx5_0 h d 0\n", "from 1 to 254"}};
  for (const auto& [text, why] : bad) {
    HostMap m;
    EXPECT_FALSE(readHostMap(writeTestFile("bad", text), endpoints, &m, &err)) << text;
    EXPECT_NE(err.find(":1: "), std::string::npos) << err;
    EXPECT_NE(err.find(why), std::string::npos) << text << " -> " << err;
  }
}

TEST(StagePairs, PortsNeverShareAServerHost) {
  Hosts h;
  Stage stage;
  // Two HCAs of h3 serve; h1 serves once; one pair with a LID.
  stage.pairs = {{h.port("h1_mlx5_0"), h.port("h3_mlx5_1", 1), 0},
                 {h.port("h2_HCA-1"), h.port("h3_mlx5_1", 2), 0x21},
                 {h.port("h3_mlx5_1", 1), h.port("h1_mlx5_0"), 0},
                 {h.port("0x0000000000000040"), h.port("h2_HCA-1"), 0}};
  std::vector<RunPair> pairs = placeStage(stage, HostMap{}, "");
  EXPECT_NE(pairs[3].leftOut, "");
  TestSettings settings;
  settings.basePort = 20000;
  std::string err;
  ASSERT_TRUE(prepareCommands(pairs, settings, &err)) << err;
  EXPECT_EQ(pairs[0].tcpPort, 20000u);
  EXPECT_EQ(pairs[1].tcpPort, 20001u);
  EXPECT_EQ(pairs[2].tcpPort, 20000u) << "another host counts from the base";
  EXPECT_EQ(shellCommand(pairs[1].server),
            "ib_write_bw -d mlx5_1 -i 2 -p 20001 -D 5 -F --report_gbits");
  EXPECT_EQ(shellCommand(pairs[1].client),
            "ib_write_bw -i 1 -p 20001 -D 5 -F --report_gbits --dlid 33 h3");

  settings.oneMachine = true;
  settings.basePort = 65533;
  ASSERT_TRUE(prepareCommands(pairs, settings, &err)) << err;
  EXPECT_EQ(pairs[2].tcpPort, 65535u) << "one machine: a port per pair";
  EXPECT_EQ(pairs[2].client.back(), "localhost");
  settings.basePort = 65534;
  EXPECT_FALSE(prepareCommands(pairs, settings, &err));
  EXPECT_NE(err.find("--base-port"), std::string::npos) << err;
}

// What the shell reads back from a quoted word is the word, whatever it holds.
TEST(ShellWords, QuotedWordsComeBackWhole) {
  std::vector<std::string> words = {
      "plain-host.01", "",          "a b", "it's", "$(touch /tmp/x)", "`id`",
      "a;b|c&d>e",     "new\nline", "'",   "*",    "~root",           "{host}"};
  std::string script = "printf '<%s>\\n'";
  std::string expected;
  for (const std::string& w : words) {
    script.append(" ").append(shellQuote(w));
    expected.append("<").append(w).append(">\n");
  }
  BinaryRun run = runBinary("/bin/sh", {"-c", script}, "sh");
  EXPECT_EQ(run.out, expected) << script;
  EXPECT_EQ(shellQuote("r01n01"), "r01n01");
}

TEST(Launchers, CommandsAndTaggedLines) {
  Launcher l;
  std::string err;
  ASSERT_TRUE(parseLauncher("ssh", &l, &err));
  EXPECT_EQ(hostLaunch(l, "r01n01").back(), "ssh -o BatchMode=yes r01n01 sh -s");
  ASSERT_TRUE(parseLauncher("echo {host}; {cmd}", &l, &err));
  EXPECT_EQ(hostLaunch(l, "a b").back(), "echo 'a b'; sh -s");
  EXPECT_FALSE(parseLauncher("rsh {host}", &l, &err));
  ASSERT_TRUE(parseLauncher("srun", &l, &err));
  std::vector<std::string> srun = fanOutLaunch(l, {"n1", "n2"}, "/logs/stage-1/servers.");
  EXPECT_EQ(shellCommand(srun),
            "srun --overlap --nodes=2 --ntasks=2 --ntasks-per-node=1 --nodelist=n1,n2 "
            "--kill-on-bad-exit=0 sh -c 'exec sh /logs/stage-1/servers.\"$SLURMD_NODENAME\".sh'");

  size_t tag;
  std::string_view text;
  ASSERT_TRUE(readTaggedLine("%12 * Waiting", &tag, &text));
  EXPECT_EQ(tag, 12u);
  EXPECT_EQ(text, "* Waiting");
  ASSERT_TRUE(readTaggedLine("r01n01: %3 @exit 0", &tag, &text)) << "pdsh's prefix";
  EXPECT_EQ(tag, 3u);
  for (const char* line : {"", "%", "%x y", "%3", "ssh: connect to host r01n01"})
    EXPECT_FALSE(readTaggedLine(line, &tag, &text)) << line;
}

// A host script runs its commands at once, each tagged, with its exit status.
TEST(Launchers, HostScriptTagsEachCommand) {
  std::string script = hostScript("test",
                                  {{4, "a b", {"sh", "-c", "echo \"$LINKDEAL_RUN_PAIR\""}},
                                   {7, "c d", {"sh", "-c", "printf x; exit 3"}}},
                                  30);
  BinaryRun run = runBinary("/bin/sh", {"-c", script}, "sh");
  std::vector<std::string> lines = splitLines(run.out);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(run.err, "");
  // The blank line ends an unfinished last line, so that the exit line stays whole.
  EXPECT_EQ(lines, (std::vector<std::string>{"%4 ", "%4 @exit 0", "%4 @start", "%4 a b",
                                             "%7 @exit 3", "%7 @start", "%7 x"}));
}

}  // namespace
