// From measured bandwidths to the links that best explain the slow pairs.
#pragma once

#include <cstdint>
#include <vector>

#include "check/results_reader.h"
#include "check/stage_check.h"
#include "pairs/pairs_reader.h"

struct SlowRule {
  bool given = false;  // slowBelow holds the user's threshold
  double slowBelow = 0;
  // Results per Mb/s of link rate (results in Gb/s: 0.001), for the rule
  // that a pair below 90% of the slowest link on its path is slow.
  double unitPerMbps = 0.001;
};

struct PairRef {
  uint32_t stage;  // index into the plan's stages
  uint32_t pair;
};

struct StageThreshold {
  size_t measured = 0;
  size_t slow = 0;
  double median = 0;     // of the measured values; 0 when none
  double threshold = 0;  // below it a pair is slow
};

struct Suspect {
  const IBPort* link;  // the port the link is left through
  size_t slowPairs = 0;
  size_t fastPairs = 0;
  size_t explains = 0;  // slow pairs it covers that no earlier suspect did
  // Links that every measured pair crossing this one crosses too, and no
  // other: the plan cannot tell them apart.
  std::vector<const IBPort*> twins;
};

struct SlowPair {
  PairRef ref;
  double value;
  double threshold;  // the lower of the stage's and the path's line-rate threshold
  bool explained = false;
};

struct SuspectReport {
  std::vector<StageThreshold> stages;  // by plan stage index
  std::vector<SlowPair> slow;          // in plan order
  std::vector<Suspect> suspects;       // in the order chosen
  size_t unmeasured = 0;               // pairs without a result
};

// Links are each switch port a path leaves through and each host's own port
// (its cable towards the switch; the way back is the last switch port of the
// paths to it). A link crossed by a fast pair in a collision-free stage is
// taken as sound. Of the rest, suspects are chosen greedily, each covering
// the most slow pairs not yet covered (ties: fewer fast pairs, then fabric
// order), until every slow pair with a suspect link is covered.
SuspectReport findSuspects(const IBFabric& fabric, const PairPlan& plan,
                           const std::vector<StageCheck>& checks, const Results& results,
                           const SlowRule& rule);
