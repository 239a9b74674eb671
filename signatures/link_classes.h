// Directed links that no test on the present routes can tell apart: links
// crossed by exactly the same valid pairs. Whatever stages a plan runs, a
// slow link shows as the same slow pairs as every other link of its class,
// so the planner spends no stage on splitting a class and the check names a
// class, not one of its links.
//
// A directed link is named by the port it leaves from: a switch egress port
// (the link to the port's remote end) or a host port (the host's own cable
// towards its switch). A valid pair is a grouped source, a grouped
// destination of another group and a destination LID of it (only the base
// LID unless any LID may be aimed at), whose route from the source's switch
// is complete and at least minDist links long from host to host.
#pragma once

#include <cstdint>
#include <vector>

#include "fabric/fabric.h"
#include "grouping/port_groups.h"

struct PairRules {
  uint32_t maxFlows = 1;  // 0 allows no pair at all
  uint16_t lmc = 0;       // each host port owns 2^lmc LIDs
  uint32_t minDist = 0;   // fewest links from source host to destination host
  bool anyLid = false;    // a pair may aim at any LID of its destination
};

struct LinkClasses {
  static constexpr int32_t kNotCrossed = -1;
  // By index into IBFabric::ports(): the class of the directed link leaving
  // that port, or kNotCrossed when no valid pair crosses it.
  std::vector<int32_t> classOfPort;
  // By class: the ports its links leave from, in fabric order. Classes are
  // numbered in the order of their first member.
  std::vector<std::vector<const IBPort*>> members;
  // By class: how many valid pairs cross each of its links.
  std::vector<uint64_t> pairs;
  uint32_t links = 0;  // directed links some valid pair crosses
};

// Works the classes out exactly, in time about proportional to the summed
// size of the route trees towards every destination LID. The fabric's ports
// must not move while the result is used.
LinkClasses findLinkClasses(const IBFabric& fabric, const PortGroups& groups,
                            const PairRules& rules);

// The class of the directed link leaving port, or kNotCrossed.
inline int32_t classOfLink(const IBFabric& fabric, const LinkClasses& classes, const IBPort& from) {
  const size_t i = static_cast<size_t>(&from - fabric.ports().data());
  return i < classes.classOfPort.size() ? classes.classOfPort[i] : LinkClasses::kNotCrossed;
}
