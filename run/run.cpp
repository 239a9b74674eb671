#include "run/run.h"

#include <cstdio>
#include <string>

#include "cli/console.h"
#include "cli/outputs.h"
#include "fabric/fabric.h"
#include "fabric/routing/route_check.h"
#include "grouping/leaf_groups.h"
#include "grouping/port_groups.h"
#include "search/pairing.h"

namespace {

int fail(const std::string& message) {
  printLine(message);
  return 1;
}

void ended(const PhaseObserver& observer, RunPhase phase) {
  if (observer) observer(phase);
}

}  // namespace

int loadFabric(const RunOptions& options, IBFabric& fabric, PortGroups& groups,
               const PhaseObserver& observer) {
  // Topology: nodes, ports, links and LIDs.
  if (fabric.parseSubnetLinks(options.lstFile, nullptr) != 0)
    return fail("-E- Fail to parse lst: " + options.lstFile);
  ended(observer, RunPhase::kTopology);

  // Host groups by their switch, or by the expression, which reports its
  // own compile error.
  if (options.groupByLeaf)
    getLeafGroups(fabric, groups);
  else if (getPortGroups(fabric, options.groupRegex, groups) != 0)
    return 1;
  ended(observer, RunPhase::kGrouping);

  // Private forwarding-table maps, only when given.
  if (!options.plftFile.empty() && fabric.parsePLFTFile(options.plftFile) != 0)
    return fail("-E- Fail to parse PLFT: " + options.plftFile);

  // Forwarding tables of every switch.
  if (fabric.parseFdbFile(options.fdbsFile) != 0)
    return fail("-E- Fail to parse fdbs: " + options.fdbsFile);
  ended(observer, RunPhase::kTables);

  // Every host must reach every other host, unless the user vouches for it.
  if (options.trustFdbs) {
    printLine("-W- Skip all CA to CA paths check");
  } else if (SubnMgtVerifyAllCaToCaRoutes(fabric, nullptr) != 0) {
    return fail("-E- Some missing CA to CA paths");
  }
  ended(observer, RunPhase::kRouteCheck);
  return 0;
}

int refuseOutputOverInput(const RunOptions& options) {
  const InputFile input =
      inputAt(options.outFile,
              {{"-l", options.lstFile}, {"-f", options.fdbsFile}, {"-P", options.plftFile}});
  if (!input.option) return 0;
  fail("-E- cant write:" + options.outFile);
  std::fprintf(stderr, "-E- %s is an input of this run (%s %s)\n", options.outFile.c_str(),
               input.option, input.path.c_str());
  return 1;
}

int checkStandardOutput(int status) {
  std::string why;
  if (flushStandardOutput(&why)) return status;
  std::fprintf(stderr, "-E- cant write standard output%s%s\n", why.empty() ? "" : ": ",
               why.c_str());
  return 1;
}

PairingOptions pairingOptions(const RunOptions& options) {
  PairingOptions p;
  p.outFile = options.outFile;
  p.maxFlowsPerLink = options.maxFlowsPerLink;
  p.minDist = options.minDist;
  p.maxGroupSrcs = options.maxGroupSrcs;
  p.lmc = options.lmc;
  p.trace = verbose != 0;
  return p;
}

int runLinkdeal(const RunOptions& options, const PhaseObserver& observer) {
  // Never replace an input with the pairs file.
  if (refuseOutputOverInput(options) != 0) return 1;

  // An empty fabric, filled by the readers.
  IBFabric fabric;
  PortGroups groups;
  if (int status = loadFabric(options, fabric, groups, observer); status != 0) return status;

  // Sources, destinations and the pairs file.
  const int status = runPairing(fabric, groups, pairingOptions(options));
  if (status == 0) ended(observer, RunPhase::kPairing);
  return status;
}
