// The simple reference search: the pairing run rendered line by line over
// ordered containers (std::map for the LID owners, std::set for the LIDs a
// walk carries, one scan of the set per candidate port), with the plain
// algorithm's guards against forwarding loops and against arriving at a port
// that is not a free destination. Slow on purpose; tests and the benchmark
// hold the fast search against it. Console text is collected in a string
// instead of printed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fabric/fabric.h"
#include "grouping/port_groups.h"
#include "pairs/pairs_file.h"
#include "search/pairing.h"

namespace reference {

using LidGroupMap = std::map<uint16_t, std::string>;
using DstLidSet = std::set<uint16_t>;

// The destinations still free: by LID, as the walk carries them, and by port,
// which decides on arrival.
struct FreeDsts {
  LidGroupMap lids;                            // LID -> group
  std::map<uint16_t, const IBPort*> owners;    // LID -> port
  std::map<const IBPort*, std::string> ports;  // free grouped port -> group
};

struct Limits {
  uint32_t maxFlows = 1;
  uint16_t lmc = 0;
  uint32_t minDist = 0;
};

struct Walk {
  const IBPort* source = nullptr;
  std::string sourceGroup;
  bool verbose = false;
  std::string* console = nullptr;
  std::vector<std::pair<const IBNode*, uint8_t>> path;  // switches entered, with their table
};

inline uint32_t lidCount(uint16_t lmc) {
  return uint32_t{1} << (lmc < 16 ? lmc : 16);
}

inline int clearSwitchPortCounters(IBFabric& fabric) {
  for (auto& [name, node] : fabric.nodeMap) {
    if (node->nodeType != IB_SW_NODE) continue;
    for (unsigned n = 1; n <= node->portCount; ++n) {
      if (n < node->portTable.size() && node->portTable[n]) node->portTable[n]->flowCount = 0;
    }
  }
  return 0;
}

inline bool buildLidGroupMap(const PortGroups& groups, uint16_t lmc, FreeDsts& free,
                             std::string* err) {
  for (const auto& [name, ports] : groups) {
    for (IBPort* port : ports) {
      if (port->baseLid == 0) {
        *err = "-E- Zero LID for DST port: " + port->getName();
        return false;
      }
      for (uint32_t k = 0; k < lidCount(lmc); ++k) {
        free.lids[static_cast<uint16_t>(port->baseLid + k)] = name;
        free.owners[static_cast<uint16_t>(port->baseLid + k)] = port;
      }
      free.ports[port] = name;
    }
  }
  return true;
}

inline IBPort* dfsAndGetFreeDstPath(IBPort* inPort, uint32_t hops, const DstLidSet& dstLids,
                                    FreeDsts& free, const Limits& limits, Walk& walk) {
  if (walk.verbose) {
    *walk.console += "-V- dfsAndGetFreeDstPath inPort:" + inPort->getName() +
                     " num-dsts:" + std::to_string(dstLids.size()) + "\n";
  }
  IBNode* node = inPort->owner;
  if (node->nodeType == IB_SW_NODE) {
    uint8_t table = node->tableForIngress(inPort->portNumber);
    for (const auto& [onPath, onPathTable] : walk.path) {
      if (onPath == node && onPathTable == table) return nullptr;
    }
    std::vector<IBPort*> candidates;
    for (unsigned n = 1; n <= node->portCount && n != kLftNoEntry; ++n) {
      if (n < node->portTable.size() && node->portTable[n] && node->portTable[n]->remote) {
        candidates.push_back(node->portTable[n]);
      }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const IBPort* a, const IBPort* b) { return a->flowCount < b->flowCount; });
    walk.path.emplace_back(node, table);
    for (IBPort* p : candidates) {
      if (p->flowCount >= limits.maxFlows) continue;
      DstLidSet subset;
      for (uint16_t lid : dstLids) {
        if (node->getLFTPortForLid(lid, table) == p->portNumber) subset.insert(lid);
      }
      if (subset.empty()) continue;
      IBPort* dst =
          reference::dfsAndGetFreeDstPath(p->remote, hops + 1, subset, free, limits, walk);
      if (dst) {
        p->flowCount++;
        walk.path.pop_back();
        return dst;
      }
    }
    walk.path.pop_back();
    return nullptr;
  }
  if (hops < limits.minDist || inPort == walk.source) return nullptr;
  auto port = free.ports.find(inPort);
  if (port == free.ports.end() || port->second == walk.sourceGroup) return nullptr;
  bool owns = false;
  if (inPort->baseLid != 0) {
    for (uint32_t k = 0; k < lidCount(limits.lmc); ++k) {
      if (dstLids.count(static_cast<uint16_t>(inPort->baseLid + k))) owns = true;
    }
  }
  if (!owns) return nullptr;
  free.ports.erase(port);
  for (uint32_t k = 0; k < lidCount(limits.lmc); ++k) {
    const uint16_t lid = static_cast<uint16_t>(inPort->baseLid + k);
    if (free.owners[lid] == inPort) {
      free.lids.erase(lid);
      free.owners.erase(lid);
    }
  }
  return inPort;
}

// Returns the destination or null; a non-empty *err means the run must end.
inline IBPort* findDstForSrc(std::string srcGroup, IBPort* src, FreeDsts& free,
                             const Limits& limits, Walk& walk, std::string* err) {
  if (!src->remote) {
    *err = "-E- No remote port for src: " + src->getName();
    return nullptr;
  }
  if (src->remote->owner->nodeType != IB_SW_NODE) {
    *err = "-E- Remote node is not a switch for src: " + src->getName();
    return nullptr;
  }
  DstLidSet set;
  for (const auto& [lid, group] : free.lids) {
    if (group != srcGroup) set.insert(lid);
  }
  walk.source = src;
  walk.sourceGroup = srcGroup;
  return reference::dfsAndGetFreeDstPath(src->remote, 1, set, free, limits, walk);
}

struct RunResult {
  int status = 0;
  std::string file;     // the pairs file's contents
  std::string console;  // what the run prints
  FreeDsts free;        // the destinations still free at the end
};

// The whole pairing run, shuffling each group's sources as the tool does.
inline RunResult runPairing(IBFabric& fabric, const PortGroups& groups,
                            const PairingOptions& options) {
  RunResult r;
  reference::clearSwitchPortCounters(fabric);
  std::string err;
  if (!reference::buildLidGroupMap(groups, options.lmc, r.free, &err)) {
    r.console += err + "\n";
    r.status = 1;
    return r;
  }
  r.file = std::string(kPairsFileHeader) + "STAGE 1\n";
  Limits limits{options.maxFlowsPerLink, options.lmc, options.minDist};
  Walk walk;
  walk.verbose = options.trace;
  walk.console = &r.console;
  uint32_t written = 0, failed = 0;
  for (const auto& [name, set] : groups) {
    std::vector<IBPort*> ports(set.begin(), set.end());
    shuffleWithRand(ports);
    unsigned n = static_cast<unsigned>(ports.size());
    uint32_t found = 0;
    for (IBPort* s : ports) {
      IBPort* d = reference::findDstForSrc(name, s, r.free, limits, walk, &err);
      if (!err.empty()) {
        r.console += err + "\n";
        r.status = 1;
        return r;
      }
      if (d) {
        r.file += s->getName() + " " + d->getName() + "\n";
        ++written;
        ++found;
      } else {
        r.console += "-W- Could not find dst for: " + s->getName() + "\n";
        ++failed;
      }
      if (options.maxGroupSrcs != 0 && found == options.maxGroupSrcs) break;
    }
    r.console += "-I- Group: " + name + " found: " + std::to_string(found) +
                 " pairs out of: " + std::to_string(n) + "\n";
  }
  r.console += "-I- Wrote " + std::to_string(written) + " pairs into: " + options.outFile + "\n";
  if (failed) r.console += "-W- Could not map " + std::to_string(failed) + " sources\n";
  return r;
}

}  // namespace reference
