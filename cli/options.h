// The command line of linkdeal.
#pragma once

#include <cstdint>
#include <string>

struct RunOptions {
  std::string lstFile;
  std::string fdbsFile;
  std::string plftFile;
  std::string groupRegex;
  std::string outFile = "linkdeal.out";
  uint32_t maxFlowsPerLink = 1;
  uint32_t minDist = 0;
  uint32_t maxGroupSrcs = 0;  // 0: no limit
  uint16_t lmc = 0;
  bool trustFdbs = false;
};

// Set by -v; read by the destination search.
extern int verbose;
