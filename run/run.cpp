#include "run/run.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "fabric/fabric.h"
#include "fabric/routing/route_check.h"
#include "grouping/port_groups.h"
#include "search/pairing.h"

namespace {

int fail(const std::string& message) {
  std::printf("%s\n", message.c_str());
  std::fflush(stdout);
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

  // Host groups by the expression; it reports its own compile error.
  if (getPortGroups(fabric, options.groupRegex, groups) != 0) return 1;
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
    std::printf("-W- Skip all CA to CA paths check\n");
    std::fflush(stdout);
  } else if (SubnMgtVerifyAllCaToCaRoutes(fabric, nullptr) != 0) {
    return fail("-E- Some missing CA to CA paths");
  }
  ended(observer, RunPhase::kRouteCheck);
  return 0;
}

int refuseOutputOverInput(const RunOptions& options) {
  struct stat out;
  if (stat(options.outFile.c_str(), &out) != 0) return 0;  // a new file: nothing to lose
  auto same = [&](const std::string& path) {
    struct stat in;
    return stat(path.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
  };
  auto refuse = [&](const char* option, const std::string& input) {
    fail("-E- cant write:" + options.outFile);
    std::fprintf(stderr, "-E- %s is an input of this run (%s %s)\n", options.outFile.c_str(),
                 option, input.c_str());
    return 1;
  };
  const std::pair<const char*, const std::string*> inputs[] = {
      {"-l", &options.lstFile}, {"-f", &options.fdbsFile}, {"-P", &options.plftFile}};
  for (const auto& [option, path] : inputs) {
    if (path->empty()) continue;
    if (same(*path)) return refuse(option, *path);
    // A folder of forwarding-table dumps: each of its files is an input.
    std::error_code ec;
    if (!std::filesystem::is_directory(*path, ec)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(*path, ec)) {
      if (same(entry.path().string())) return refuse(option, entry.path().string());
    }
  }
  return 0;
}

int checkStandardOutput(int status) {
  const bool failedBefore = std::ferror(stdout) != 0;
  errno = 0;
  if (std::fflush(stdout) == 0 && !failedBefore) return status;
  const int error = errno;
  std::fprintf(stderr, "-E- cant write standard output%s%s\n", error ? ": " : "",
               error ? std::strerror(error) : "");
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
