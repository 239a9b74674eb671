// Which links of a suspect class a test could still tell apart: every valid
// pair's route over the class's links, and the fewest pairs that split the
// class as far as these routes allow.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fabric/fabric.h"
#include "fabric/routing/forwarding_states.h"
#include "grouping/port_groups.h"
#include "pairs/pairs_reader.h"

// Which pairs a test may use: two hosts' ports 1 in different groups, with
// a complete route of at least minDist links to the destination's base LID.
struct PairRule {
  std::vector<int32_t> groupOf;  // by port index; -1: the port takes no part
  uint32_t minDist = 0;
};

// Every host's port 1 in a group of its own (named after the host): any two
// hosts may pair.
PortGroups everyHostGroups(IBFabric& fabric);
// The rule for these groups.
PairRule pairRuleOf(const IBFabric& fabric, const PortGroups& groups, uint32_t minDist);

// Classes longer than this are not worked out (a class lies on one path).
constexpr size_t kMaxClassLinks = 64;

struct ClassSplit {
  bool known = false;  // false: the class was too long to work out
  // Groups of the class's links (by position) that every valid pair crosses
  // all or none of: no test on these routes separates them.
  std::vector<std::vector<uint32_t>> together;
  bool splittable = false;  // some valid pair crosses part of the class
  // The tests that split it as far as it goes, then re-test the slow pairs
  // with other partners; each test is a few pairs any of which will do.
  std::vector<std::vector<PlanPair>> tests;
};

// A pair shows a fault of a link it crosses when the slowest link of its
// path runs at least this share of that link's rate (a link at half its
// rate then brings the pair well below its due).
constexpr double kSeen = 0.75;

// links: one suspect class. rates: each directed link's rate by port index
// (with equal rates, or none recorded, a pair sees every link it crosses).
// slow: the slow pairs it explains, re-tested from their source to another
// destination and from another source to their destination where the rule
// allows.
ClassSplit splitClass(const IBFabric& fabric, const ForwardingStates& states, const PairRule& rule,
                      const std::vector<double>& rates, std::span<const IBPort* const> links,
                      std::span<const PlanPair> slow);
