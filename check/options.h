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
  // --predict: the expected rate of every pair written as a results file
  // ("-": to standard output, instead of the report).
  std::string predictFile;
  std::vector<std::string> degrade;  // --degrade PORT=FRACTION, for --predict
  std::string followUpFile;          // --follow-up: stages that split the suspects
  // Which pairs follow-up stages may use: -i, --group-by leaf, -d.
  std::string groupExpression;
  bool groupByLeaf = false;
  uint32_t minDist = 0;
};

// What the command line decided: run with options, or end with status
// (after --help, --version, or a usage error already printed).
struct CheckCommandLine {
  CheckOptions options;
  bool run = false;
  int status = 0;
};

// Exit statuses: every stage holds (and every measured pair is fast); some
// stage fails; the check could not run (bad usage, unreadable or malformed
// input, output not written); every stage holds but some pair is slow.
constexpr int kCheckHolds = 0;
constexpr int kCheckFails = 1;
constexpr int kCheckUsage = 2;
constexpr int kCheckSlow = 3;

CheckCommandLine parseCheckCommandLine(int argc, char* argv[]);
