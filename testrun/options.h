// The command line of linkdeal-run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TestRunOptions {
  std::string lstFile;
  std::string fdbsFile;  // for --then-check
  std::string plftFile;  // for --then-check
  uint16_t lmc = 0;
  std::string mapFile;
  std::string device;
  std::string launcher = "ssh";  // ssh, pdsh, srun, local or a template
  uint32_t duration = 5;         // -D of each test, seconds
  uint64_t size = 0;             // message size; 0: the test program's default
  uint32_t timeout = 10;         // seconds allowed beyond the expected time of each step
  uint32_t basePort = 18515;
  std::string dryRunFile;
  std::string resultsFile = "linkdeal-run.results";
  std::string jsonlFile;
  std::string logsDir = "linkdeal-run.logs";
  bool thenCheck = false;
  std::vector<std::string> pairsFiles;
};

// Exit statuses: every pair measured; some pair failed or was left out (or
// the check that --then-check ran found a stage that does not hold, or slow
// pairs); the run
// could not happen (bad usage, an input that does not read, an output not
// written).
constexpr int kRunAllMeasured = 0;
constexpr int kRunSomeFailed = 1;
constexpr int kRunCannot = 2;

struct TestRunCommandLine {
  TestRunOptions options;
  bool run = false;
  int status = 0;
};

TestRunCommandLine parseTestRunCommandLine(int argc, char* argv[]);
