// Fewer, fuller stages from any plan: a greedy planner's last stages hold a
// few pairs each, most of which would fit into an earlier stage.
#pragma once

#include <vector>

#include "fabric/fabric.h"
#include "plan/planner.h"

// Which pairs a plan can do without.
enum class Redundant {
  kNone,        // keeps every pair
  kCovered,     // a pair whose directed links other pairs cross as well
  kSignatures,  // such a pair, when without it no two links share a signature that did not
};

// First drops the redundant pairs, latest stages first (what the plan
// covers, and with kSignatures how far it tells links apart, stays the
// same). Then moves each pair of a later stage into the earliest earlier
// stage it fits in (its source sends and its destination receives there no
// other pair, and no port of its route is at the flow limit), drops the
// stages left empty, and counts each stage's coverage again. A pair is the
// same test in any stage, so no move changes a signature.
void compactStages(const IBFabric& fabric, const Coverable& c, const PlanSettings& settings,
                   std::vector<StageResult>& stages, Redundant redundant);

// Sets each stage's newly and so far covered hosts and directed links.
void countCoverage(const IBFabric& fabric, const Coverable& c, std::vector<StageResult>& stages);
