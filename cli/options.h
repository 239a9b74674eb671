// The command line of linkdeal.
#pragma once

#include <cstdint>
#include <string>

struct RunOptions {
  std::string lstFile;
  std::string fdbsFile;
  std::string plftFile;
  std::string groupRegex;
  bool groupByLeaf = false;  // group hosts by their switch instead of by groupRegex
  std::string outFile = "linkdeal.out";
  uint32_t maxFlowsPerLink = 1;
  uint32_t minDist = 0;
  uint32_t maxGroupSrcs = 0;  // 0: no limit
  uint16_t lmc = 0;
  bool trustFdbs = false;
};

// Set by -v; read by the destination search.
extern int verbose;

// What the command line decided: go on with a run using options, or end the
// process with status (after -h, -V, or a rejected command line whose
// messages are already printed).
struct CommandLine {
  RunOptions options;
  bool run = false;
  int status = 0;
};

// Reads the options with getopt_long, echoing each accepted one on standard
// output between two separator lines, and checks the required inputs.
// getopt_long may reorder argv.
CommandLine parseCommandLine(int argc, char* argv[]);

// Sets the fabric option c (-t, or -l, -f, -P, -i with arg) and echoes it
// as linkdeal does; returns false, doing nothing, for any other option.
bool takeFabricOption(int c, const char* arg, RunOptions& o);

// "Usage:" and the one-line synopsis.
void show_usage();
// The full help text of -h.
void show_help();
