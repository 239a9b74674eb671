// linkdeal-run end to end, through the local launcher, with the stand-in for
// ib_write_bw from testing/ first on PATH.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "testing/run_binary.h"
#include "testing/test_files.h"

namespace {

const std::string kExampleLst = std::string(LINKDEAL_SOURCE_DIR) + "/examples/fabric.lst";
const std::string kExampleFdbs = std::string(LINKDEAL_SOURCE_DIR) + "/examples/fabric.fdbs";

// The stand-in first on PATH, its shared folder and rates set; all undone at
// the end of the test.
struct FakePerftest {
  std::string dir;
  std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  explicit FakePerftest(const std::string& rates = "") {
    dir = makeTestDir("fake");
    std::filesystem::create_directory(dir + "/bin");
    std::filesystem::create_symlink(
        std::string(LINKDEAL_SOURCE_DIR) + "/testing/fake-perftest/ib_write_bw",
        dir + "/bin/ib_write_bw");
    setenv("PATH", (dir + "/bin:" + oldPath).c_str(), 1);
    setenv("FAKE_PERFTEST_DIR", dir.c_str(), 1);
    if (!rates.empty()) setenv("FAKE_PERFTEST_RATES", writeTestFile("rates", rates).c_str(), 1);
  }
  ~FakePerftest() {
    setenv("PATH", oldPath.c_str(), 1);
    unsetenv("FAKE_PERFTEST_DIR");
    unsetenv("FAKE_PERFTEST_RATES");
  }
  std::vector<std::string> calls() const { return splitLines(readTestFile(dir + "/calls")); }
};

// The example's coverage plan: one stage of 16 pairs.
std::string planExample() {
  std::string plan = testPath("plan");
  BinaryRun p = runBinary(
      PLAN_BIN,
      {"-l", kExampleLst, "-f", kExampleFdbs, "-i", "^r([0-9]+)n", "--coverage", "-o", plan},
      "linkdeal-plan");
  EXPECT_EQ(p.status, 0) << p.out << p.err;
  return plan;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

// The whole loop: a bad up-link at half its rate, the check's prediction of
// what each pair then reaches as the stand-in's rates, the plan run, and the
// check names that link.
TEST(RunProgram, PlanRunCheckNamesTheBadLink) {
  std::string dir = makeTestDir("fabric");
  ASSERT_EQ(runBinary(FABRICGEN_BIN,
                      {"-o", dir, "--leaves", "4", "--hosts-per-leaf", "4", "--up-links", "2"},
                      "fabricgen")
                .status,
            0);
  std::string lst = dir + "/fabric.lst", fdbs = dir + "/fabric.fdbs", plan = dir + "/plan";
  ASSERT_EQ(
      runBinary(PLAN_BIN, {"-l", lst, "-f", fdbs, "-i", "^r([0-9]+)n", "-o", plan}, "linkdeal-plan")
          .status,
      0);
  const std::string bad = "MF0;leaf01:MQM8700/U1/P5", badRemote = "MF0;spine01:MQM8700/U1/P1";
  BinaryRun predicted = runBinary(
      CHECK_BIN, {"-l", lst, "-f", fdbs, "--predict", "-", "--degrade", bad + "=0.5", plan},
      "linkdeal-check");
  ASSERT_EQ(predicted.status, 0) << predicted.err;
  const std::string rates = predicted.out;
  ASSERT_GE(count(rates, " 100\n"), 2u) << "the link carries pairs:\n" << rates;
  FakePerftest fake(rates);

  std::string results = dir + "/results", jsonl = dir + "/results.jsonl";
  BinaryRun run = runBinary(
      RUN_BIN,
      {"-l", lst, "--launcher", "local", "--duration", "1", "--timeout", "10", "-o", results,
       "--jsonl", jsonl, "--logs", makeTestDir("logs"), "--then-check", "-f", fdbs, plan},
      "linkdeal-run");
  EXPECT_EQ(run.status, 1) << "the check found slow pairs\n" << run.out << run.err;
  const size_t pairs = count(readTestFile(plan), "_HCA-1/P1\n");
  EXPECT_EQ(count(readTestFile(results), " 200\n"), pairs - count(rates, " 100\n"));
  EXPECT_EQ(count(readTestFile(results), " 100\n"), count(rates, " 100\n"));
  // --then-check printed the check's verdict: the injected link first.
  EXPECT_NE(run.out.find("1. " + bad + " -> " + badRemote), std::string::npos) << run.out;

  // Every pair of a stage ran at once on this machine, each on its own port.
  std::vector<std::set<std::string>> serverPorts(1);
  for (const std::string& call : fake.calls()) {
    if (call.rfind("server", 0) != 0) continue;
    std::string port = call.substr(call.find(" port="), 12);
    EXPECT_TRUE(serverPorts[0].insert(port + call.substr(call.find(" pair="))).second) << call;
  }
  EXPECT_EQ(serverPorts[0].size(), pairs);
  std::vector<std::string> records = splitLines(readTestFile(jsonl));
  ASSERT_EQ(records.size(), pairs);
  for (const std::string& line : records) {
    nlohmann::json r = nlohmann::json::parse(line);
    EXPECT_TRUE(r["measured"].get<bool>()) << line;
    EXPECT_EQ(r["client_gbps"], r["server_gbps"]) << line;
    size_t stage = r["stage"].get<size_t>();
    if (serverPorts.size() <= stage) serverPorts.resize(stage + 1);
    EXPECT_TRUE(serverPorts[stage].insert(r["dst"]["tcp_port"].dump()).second)
        << "two pairs of a stage on one port: " << line;
    EXPECT_LE(r["start"].get<double>(), r["end"].get<double>()) << line;
    EXPECT_NE(readTestFile(r["client_log"]).find("BW average[Gb/sec]"), std::string::npos);
  }
}

// A dead host, a client that hangs, one that cannot connect and one that
// prints nothing: each is listed with its reason, the rest measured, and
// nothing is left running.
TEST(RunProgram, FailedPairsAreListedWithTheirReason) {
  std::string plan = planExample();
  std::vector<std::string> pairLines;
  for (const std::string& line : splitLines(readTestFile(plan)))
    if (line.rfind("r", 0) == 0) pairLines.push_back(line);
  ASSERT_EQ(pairLines.size(), 16u);
  // Every host on this machine, but r01n02 on a host whose launcher fails:
  // it sends in one pair and receives in another.
  std::string map, rates;
  const char* modes[] = {"hang", "refuse", "silent"};
  size_t m = 0;
  for (const std::string& pair : pairLines) {
    std::string node = pair.substr(0, pair.find('/'));
    map += node + (node == "r01n02_HCA-1" ? " deadhost\n" : " localhost\n");
    if (pair.find("r01n02") == std::string::npos && m < 3) rates += pair + " " + modes[m++] + "\n";
  }
  FakePerftest fake(rates);

  std::string results = testPath("results");
  BinaryRun run = runBinary(RUN_BIN,
                            {"-l", kExampleLst, "--map", writeTestFile("map", map), "--launcher",
                             "case {host} in deadhost) exit 255;; esac; {cmd}", "--duration", "1",
                             "--timeout", "3", "-o", results, "--logs", makeTestDir("logs"), plan},
                            "linkdeal-run");
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("-W- host deadhost did not answer (launcher exit status 255)"),
            std::string::npos)
      << run.out;
  std::string text = readTestFile(results);
  EXPECT_EQ(count(text, "# failed "), 5u) << text;
  EXPECT_EQ(count(text, " 196\n"), 11u) << text;
  for (const char* why :
       {"host deadhost did not answer", "client did not end within 6 s",
        "client exited with status 1: Couldn't connect to", "client printed no result table"})
    EXPECT_NE(text.find(why), std::string::npos) << why << "\n" << text;
  // The check reads the failures as pairs without a value, not as 0.
  BinaryRun check =
      runBinary(CHECK_BIN, {"-l", kExampleLst, "-f", kExampleFdbs, "--results", results, plan},
                "linkdeal-check");
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.out.find("results: 5 pairs without a value"), std::string::npos) << check.out;

  // Every stand-in was killed with its launcher's group, the hung client too.
  std::string calls = readTestFile(fake.dir + "/calls");
  EXPECT_EQ(count(calls, "client "), 14u) << "none for the dead host's two pairs: " << calls;
  for (const std::string& call : splitLines(calls)) {
    int pid = std::atoi(call.c_str() + call.find("pid=") + 4);
    std::string stat = readTestFile("/proc/" + std::to_string(pid) + "/stat");
    bool gone = stat.rfind("<missing", 0) == 0 || stat.find(") Z ") != std::string::npos;
    EXPECT_TRUE(gone) << "still running: " << call;
  }
}

TEST(RunProgram, DryRunWritesTheScriptAndRunsNothing) {
  std::string plan = planExample();
  FakePerftest fake;
  std::string script = testPath("script.sh"), logs = makeTestDir("logs");
  BinaryRun run = runBinary(
      RUN_BIN, {"-l", kExampleLst, "--device", "mlx5_2", "--logs", logs, "--dry-run", script, plan},
      "linkdeal-run");
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  std::string text = readTestFile(script);
  EXPECT_EQ(readTestFile(fake.dir + "/calls").rfind("<missing", 0), 0u) << "nothing ran";
  EXPECT_EQ(runBinary("/bin/sh", {"-n", script}, "sh").status, 0) << text;
  for (const std::string& part : std::vector<std::string>{
           "# ---- stage 1: 16 pairs\n", "mkdir -p " + logs + "/stage-1\n",
           "cat > " + logs + "/stage-1/servers.r01n01.sh <<'LINKDEAL_RUN_END'\n",
           "run 0 'r04n02_HCA-1/P1 r01n01_HCA-1/P1' ib_write_bw -d mlx5_2 -i 1 -p 18515 -D 5 -F "
           "--report_gbits &\n",
           "ib_write_bw -d mlx5_2 -i 1 -p 18515 -D 5 -F --report_gbits r01n01 &\n",
           "/bin/sh -c 'ssh -o BatchMode=yes r01n01 sh -s' < " + logs +
               "/stage-1/servers.r01n01.sh > " + logs + "/stage-1/servers.r01n01.out 2> " + logs +
               "/stage-1/servers.r01n01.err &\n",
           "listening 16 10 " + logs + "/stage-1/servers.*out\n# clients\n"})
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n---\n" << text;
  EXPECT_EQ(count(text, "ssh -o BatchMode=yes "), 32u);

  // No output lands on an input.
  BinaryRun onInput =
      runBinary(RUN_BIN, {"-l", kExampleLst, "--dry-run", plan, plan}, "linkdeal-run");
  EXPECT_EQ(onInput.status, 2);
  EXPECT_NE(onInput.err.find("is an input of this run"), std::string::npos) << onInput.err;
}

}  // namespace
