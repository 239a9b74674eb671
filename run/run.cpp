#include "run/run.h"

#include <cstdio>
#include <string>

#include "fabric/fabric.h"
#include "grouping/port_groups.h"
#include "search/pairing.h"

namespace {

int fail(const std::string& message) {
  std::printf("%s\n", message.c_str());
  std::fflush(stdout);
  return 1;
}

}  // namespace

int loadFabric(const RunOptions& options, IBFabric& fabric, PortGroups& groups) {
  // Topology: nodes, ports, links and LIDs.
  if (fabric.parseSubnetLinks(options.lstFile, nullptr) != 0)
    return fail("-E- Fail to parse lst: " + options.lstFile);

  // Host groups by the expression; it reports its own compile error.
  if (getPortGroups(fabric, options.groupRegex, groups) != 0) return 1;

  // Private forwarding-table maps, only when given.
  if (!options.plftFile.empty() && fabric.parsePLFTFile(options.plftFile) != 0)
    return fail("-E- Fail to parse PLFT: " + options.plftFile);

  // Forwarding tables of every switch.
  if (fabric.parseFdbFile(options.fdbsFile) != 0)
    return fail("-E- Fail to parse fdbs: " + options.fdbsFile);

  // Every host must reach every other host, unless the user vouches for it.
  if (options.trustFdbs) {
    std::printf("-W- Skip all CA to CA paths check\n");
    std::fflush(stdout);
  } else if (SubnMgtVerifyAllCaToCaRoutes(fabric, nullptr) != 0) {
    return fail("-E- Some missing CA to CA paths");
  }
  return 0;
}

int runLinkdeal(const RunOptions& options) {
  // An empty fabric, filled by the readers.
  IBFabric fabric;
  PortGroups groups;
  if (int status = loadFabric(options, fabric, groups); status != 0) return status;

  // Sources, destinations and the pairs file.
  return runPairing(fabric, groups, options);
}
