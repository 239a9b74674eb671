// The load a stage of pairs puts on the fabric: every pair's path through the
// forwarding tables, and how many pairs leave each switch port.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fabric/fabric.h"
#include "fabric/routing/route_walk.h"
#include "pairs/pairs_reader.h"

struct CheckLimits {
  uint32_t maxFlows = 1;  // pairs a switch egress port may carry
  uint16_t lmc = 0;
  // The pairs whose lines fix no LID take LIDs of their destinations such
  // that every port stays within maxFlows, whenever such a choice exists
  // (see LidSearch); otherwise each the first LID whose path stays within
  // maxFlows given the pairs before it, else its lowest-peak arriving LID.
  bool anyLid = false;
  size_t busiest = 10;  // ports listed with their pairs; 0: every loaded port
};

// How --any-lid chose. First fit in file order is tried first; when it
// overloads a port, a depth-first search over the stage's choices follows,
// exact up to kLidSearchSteps option tries.
enum class LidSearch {
  kFirstFit,  // first fit keeps the limit
  kFound,     // the search found a choice that keeps it
  kNoChoice,  // no choice keeps it: first fit is reported
  kStopped,   // the search stopped at its bound: first fit is reported
};
constexpr uint64_t kLidSearchSteps = 100'000'000;

struct PairRoute {
  uint16_t dlid = 0;
  bool arrived = false;
  std::string why;  // for a broken path: where and why it stopped
  // The switch ports the path leaves through: StageCheck::hops[first, first + count).
  uint32_t first = 0;
  uint32_t count = 0;
};

struct HostTimes {
  const IBPort* port;
  uint32_t times;
};

struct PortLoad {
  const IBPort* port;
  uint32_t load;
  std::vector<uint32_t> pairs;  // indices of the pairs that cross it
};

struct StageCheck {
  uint32_t number = 0;
  LidSearch lidSearch = LidSearch::kFirstFit;  // with --any-lid
  size_t pairs = 0;
  size_t sources = 0;       // distinct
  size_t destinations = 0;  // distinct
  std::vector<HostTimes> repeatedSources;
  std::vector<HostTimes> repeatedDestinations;
  std::vector<PairRoute> routes;  // one per pair, in the stage's order
  std::vector<const IBPort*> hops;
  std::vector<uint32_t> broken;              // pairs whose path does not reach the destination
  std::map<uint32_t, size_t> pathLengths;    // links -> pairs, over the complete paths
  std::map<uint32_t, size_t> loadHistogram;  // load -> cabled switch ports
  uint32_t maxLoad = 0;
  size_t portsOverLimit = 0;
  std::vector<PortLoad> busiest;  // highest load first

  bool holds() const {
    return portsOverLimit == 0 && broken.empty() && repeatedSources.empty() &&
           repeatedDestinations.empty();
  }
  // No port carries two pairs and no host takes part twice: a pair's speed
  // depends only on the links it crosses.
  bool collisionFree() const {
    return maxLoad <= 1 && repeatedSources.empty() && repeatedDestinations.empty();
  }
};

// Checks stages of one fabric; scratch space is kept between stages.
class StageChecker {
 public:
  explicit StageChecker(const IBFabric& fabric);
  StageCheck check(const Stage& stage, const CheckLimits& limits);

 private:
  size_t index(const IBPort* p) const { return static_cast<size_t>(p - firstPort_); }
  struct Choices;
  LidSearch chooseLids(const Stage& stage, const CheckLimits& limits, std::vector<uint16_t>* lidOf);
  LidSearch searchChoices(const Choices& c, uint32_t maxFlows, std::vector<uint32_t>* chosen);
  bool repairChoices(const Choices& c, uint32_t maxFlows, const std::vector<uint32_t>& pairs,
                     std::vector<uint32_t>* chosen);

  const IBPort* firstPort_;
  RouteWalker walker_;
  std::vector<uint32_t> load_;  // by port index; all 0 between stages
  std::vector<uint32_t> sends_;
  std::vector<uint32_t> receives_;
  std::vector<uint8_t> touched_;    // by port index: crossed by this stage (scratch)
  std::vector<uint32_t> demand_;    // by port index: free pairs that could cross it
  std::vector<uint32_t> lastPair_;  // by port index: 1 + the last pair counted in demand_
  size_t cabledSwitchPorts_ = 0;
  std::vector<const IBPort*> path_;
  std::vector<const IBPort*> bestPath_;
};

// "SWITCH/P<n> -> REMOTE/P<m>": a link by the port it is left through.
std::string linkName(const IBPort& egress);
