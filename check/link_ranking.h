// From measured bandwidths to the links that best explain the slow pairs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/results_reader.h"
#include "check/stage_check.h"
#include "pairs/pairs_reader.h"

struct SlowRule {
  bool given = false;  // slowBelow holds the user's threshold
  double slowBelow = 0;
  // Results per Mb/s of link rate (results in Gb/s: 0.001), to compare
  // values with the recorded link rates.
  double unitPerMbps = 0.001;
  // What a host sends or receives at most, in the results' unit; 0: not
  // known. Given, the expected rates are taken as what pairs should reach.
  double hostRate = 0;
};

// What pairs should reach: [stage][pair] as in the plan (NaN without a
// complete path), from the link rates and the sharing within each stage.
struct Expected {
  std::vector<std::vector<double>> rate;
  bool ceiling = false;  // from recorded link rates or --host-rate, not only relative
};

struct PairRef {
  uint32_t stage;  // index into the plan's stages
  uint32_t pair;
};

struct StageThreshold {
  size_t measured = 0;
  size_t slow = 0;
  double median = 0;  // of the measured values; 0 when none
  // The lowest and highest threshold applied to the stage's pairs (they
  // differ where pairs should reach different rates).
  double threshold = 0;
  double thresholdMax = 0;
};

struct Suspect {
  const IBPort* link = nullptr;  // the port the link is left through
  size_t slowPairs = 0;
  size_t fastPairs = 0;
  size_t explains = 0;  // slow pairs it covers that no earlier suspect did
  // Links that the same slow pairs, and no other, may blame: what was
  // measured cannot tell them apart.
  std::vector<const IBPort*> twins;
  // The class: link, then its twins; for a cable, one direction's class then
  // the other's.
  std::vector<const IBPort*> links;
  bool cable = false;  // links are both directions of the same cables
  // What tests on these routes could do with the class (see separation.h):
  // members no valid pair separates, in groups; and whether some pair would
  // split the class further.
  bool separationKnown = false;
  std::vector<std::vector<const IBPort*>> together;
  bool splittable = false;
  // Valid pairs would split the class, but each of them is held back by a
  // slower link elsewhere, so a fault of these links does not show in them.
  bool hidden = false;
};

struct SlowPair {
  PairRef ref;
  double value;
  double threshold;  // below this the pair is slow
  bool explained = false;
};

struct SuspectReport {
  std::vector<StageThreshold> stages;  // by plan stage index
  std::vector<SlowPair> slow;          // in plan order
  std::vector<Suspect> suspects;       // in the order chosen
  size_t unmeasured = 0;               // pairs without a result
  // What pairs reach, as a share of what they should (the median over every
  // measured pair of all stages); 0 when no pair could be compared.
  double reach = 0;
  // Set when the values sit far from the ceiling: the likely cause in words.
  std::string warning;
  // More than half of the measured pairs are slow: no suspects are picked.
  bool mostSlow = false;
};

// A pair is slow below rule.slowBelow when given; otherwise below 90% of what
// it should reach (expected) times what pairs like it reach: the median share
// of their expected rate over all stages among pairs that should reach the
// same rate (all pairs where fewer than 8 do), so that a stage of one pair is
// judged too, and the link rate is a ceiling to warn about rather than a bar
// every pair fails when hosts are slower or the values in another unit. With
// rule.hostRate the expected rates are the bar.
//
// Links are each switch port a path leaves through and each host's own port
// (its cable towards the switch; the way back is the last switch port of the
// paths to it). A link crossed by a fast pair in a collision-free stage is
// taken as sound. Of the rest, suspects are chosen greedily, each covering
// the most slow pairs not yet covered (ties: fewer fast pairs, then fabric
// order), until every slow pair with a suspect link is covered.
SuspectReport findSuspects(const IBFabric& fabric, const PairPlan& plan,
                           const std::vector<StageCheck>& checks, const Results& results,
                           const SlowRule& rule, const Expected& expected);

// Merges suspects that are the two directions of the same cables into one,
// reported as the cable.
void mergeCables(SuspectReport* report);
