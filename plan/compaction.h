// Fewer, fuller stages from any plan: a greedy planner's last stages hold a
// few pairs each, most of which would fit into an earlier stage.
#pragma once

#include <vector>

#include "fabric/fabric.h"
#include "plan/planner.h"

// Moves each pair of a later stage into the earliest earlier stage it fits
// in (its source sends and its destination receives there no other pair,
// and no port of its route is at the flow limit), and drops the stages left
// empty. With dropRedundant, first drops every pair whose directed links
// other pairs cross as well, latest stages first: what the plan covers stays
// the same. Without it, the plan keeps every pair, and so every link's
// signature stays as distinct from every other's as it was. Then counts
// each stage's coverage again.
void compactStages(const IBFabric& fabric, const Coverable& c, const PlanSettings& settings,
                   std::vector<StageResult>& stages, bool dropRedundant);

// Sets each stage's newly and so far covered hosts and directed links.
void countCoverage(const IBFabric& fabric, const Coverable& c, std::vector<StageResult>& stages);
