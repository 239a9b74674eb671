// The command line of linkdeal-check.
#pragma once

#include <string>
#include <vector>

#include "check/link_ranking.h"
#include "check/stage_check.h"

struct CheckOptions {
  std::string lstFile;
  std::string fdbsFile;
  std::string plftFile;
  std::vector<std::string> pairsFiles;
  std::string resultsFile;
  CheckLimits limits;
  SlowRule slowRule;
  bool json = false;
  std::string htmlFile;  // --html: the report drawn, as one HTML page
};

// What the command line decided: run with options, or end with status
// (after --help, --version, or a usage error already printed).
struct CheckCommandLine {
  CheckOptions options;
  bool run = false;
  int status = 0;
};

// Exit statuses: every stage holds; some stage fails; the check could not
// run (bad usage, unreadable or malformed input, output not written).
constexpr int kCheckHolds = 0;
constexpr int kCheckFails = 1;
constexpr int kCheckUsage = 2;

CheckCommandLine parseCheckCommandLine(int argc, char* argv[]);
