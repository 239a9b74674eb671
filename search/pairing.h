// The pairing run: sources from each group, a free destination in another
// group for each, and the pairs file.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "fabric/fabric.h"
#include "grouping/port_groups.h"

// What the pairing run needs of the command line.
struct PairingOptions {
  std::string outFile = "linkdeal.out";
  uint32_t maxFlowsPerLink = 1;
  uint32_t minDist = 0;
  uint32_t maxGroupSrcs = 0;  // 0: no limit
  uint16_t lmc = 0;
  bool trace = false;  // a "-V-" line for every port the search enters
};

// Shuffles items in place as the pairing run shuffles each group's sources:
// for i from 1, entry i swaps with entry rand() % (i + 1). The same rand()
// state gives the same order.
template <typename T>
void shuffleWithRand(std::vector<T>& items) {
  const uint32_t n = static_cast<uint32_t>(items.size());
  for (uint32_t i = 1; i < n; ++i) {
    const uint32_t j = static_cast<uint32_t>(std::rand()) % (i + 1);
    if (j != i) std::swap(items[i], items[j]);
  }
}

// Resets the switch-port flow counters, maps LIDs to groups, writes the pairs
// file and prints the reports. Returns the process exit status: 0 for a
// complete run, 1 after printing the "-E-" line of a failure.
int runPairing(IBFabric& fabric, const PortGroups& groups, const PairingOptions& options);
