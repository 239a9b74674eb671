#include "search/pairing.h"

#include <cstdio>
#include <string>
#include <vector>

#include "cli/console.h"
#include "pairs/pairs_file.h"
#include "search/dst_search.h"
#include "search/lid_map.h"

static int cantWrite(const std::string& fileName) {
  printLine("-E- cant write:" + fileName);
  return 1;
}

int runPairing(IBFabric& fabric, const PortGroups& groups, const PairingOptions& options) {
  clearSwitchPortCounters(fabric);
  LidGroupMap lidMap;
  std::string err;
  if (!buildLidGroupMap(groups, options.lmc, lidMap, &err)) {
    printLine(err);
    return 1;
  }

  // Odd LID ranges, most often a -m above the fabric's LMC: worth knowing,
  // but legal, so only a warning.
  for (const std::string& warning : lidRangeWarnings(groups, options.lmc))
    std::fprintf(stderr, "%s\n", warning.c_str());

  // Every line is flushed as it is written, and any failed write ends the
  // run: a pairs file silently cut short would be taken for a complete
  // permutation.
  PairsFileWriter out(options.outFile, true);
  if (!out.writeStage(1)) return cantWrite(options.outFile);

  const SearchLimits limits{options.maxFlowsPerLink, options.lmc, options.minDist};
  SearchContext ctx(fabric, options.trace);
  uint32_t pairsWritten = 0;
  uint32_t unmapped = 0;
  std::vector<IBPort*> ports;
  for (const auto& [groupName, groupPorts] : groups) {
    ports.assign(groupPorts.begin(), groupPorts.end());
    // Shuffled with the unseeded rand(): the same input gives the same pairs.
    shuffleWithRand(ports);
    const uint32_t n = static_cast<uint32_t>(ports.size());

    uint32_t found = 0;
    for (IBPort* src : ports) {
      DstSearchResult result = findDstForSrc(ctx, groupName, *src, lidMap, limits);
      if (!result.error.empty()) {
        printLine(result.error);
        return 1;
      }
      if (result.dst) {
        if (!out.writePair(*src, *result.dst)) return cantWrite(options.outFile);
        ++pairsWritten;
        ++found;
      } else {
        printLine("-W- Could not find dst for: " + src->getName());
        ++unmapped;
      }
      if (options.maxGroupSrcs != 0 && found >= options.maxGroupSrcs) break;
    }
    printLine("-I- Group: " + groupName + " found: " + std::to_string(found) +
              " pairs out of: " + std::to_string(n));
  }

  if (!out.close()) return cantWrite(options.outFile);
  printLine("-I- Wrote " + std::to_string(pairsWritten) + " pairs into: " + options.outFile);
  if (unmapped) printLine("-W- Could not map " + std::to_string(unmapped) + " sources");
  return 0;
}
