// The first step of a plan: what valid pairs can cover at all, and the fewest
// stages that takes. Also what the stage search reads of the hosts.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "fabric/fabric.h"
#include "fabric/routing/forwarding_states.h"
#include "grouping/port_groups.h"
#include "plan/planner.h"

// The fabric seen by the planner: its forwarding states, and the indexes that
// per-port and per-node arrays are kept by.
struct PlanRoutes {
  explicit PlanRoutes(const IBFabric& f) : fabric(f), states(f) {}
  size_t portIndex(const IBPort* p) const { return static_cast<size_t>(p - fabric.ports().data()); }
  size_t nodeIndex(const IBNode& n) const {
    return static_cast<size_t>(&n - fabric.nodes().data());
  }

  const IBFabric& fabric;
  ForwardingStates states;
};

// A source's first switch state, shared by every grouped host cabled into it
// through ports with the same table.
struct Origin {
  uint32_t state = ForwardingStates::kNoState;
  uint32_t total = 0;                                // grouped hosts starting here
  std::vector<std::pair<int32_t, uint32_t>> groups;  // (group, hosts) among them
  int32_t firstGroupReached = -1;                    // a destination group of a valid pair
  bool severalGroupsReached = false;

  uint32_t hostsOutside(int32_t group) const {
    for (const auto& [g, n] : groups)
      if (g == group) return total - n;
    return total;
  }
};

// What both steps share: the hosts, the LIDs pairs may aim at, and the
// origins of the sources.
struct Hosts {
  std::vector<int32_t> ofLid;   // 2^16 entries: the host a target LID reaches, or -1
  std::vector<int32_t> ofPort;  // by port index: host index of a grouped port, or -1
  std::vector<int32_t> origin;  // by host: its origin, or -1 without a switch link
  std::vector<Origin> origins;
  // By port index: how many links valid routes cross after this port, on
  // average, in sixteenths. Longer routes cover more per pair.
  std::vector<uint32_t> linksBeyond;
};

// What valid pairs can cover, with the lower bound; fills hosts for the stage
// search.
Coverable coverableOf(const PlanRoutes& routes, const PortGroups& groups,
                      const PlanSettings& settings, Hosts& hosts);
