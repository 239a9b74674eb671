// Plans aimed at telling links apart, not only at covering them. A link's
// signature is the set of (stage, pair) crossing it; when one link is slow,
// the pairs of its signature are the slow ones, so a link whose signature no
// other link shares is named alone. Links of one inseparable class share
// every signature whatever the plan, so the stages spend nothing on them:
// the plan is done when every class has a signature of its own and every
// coverable host and link is covered.
#pragma once

#include <cstdint>
#include <functional>

#include "fabric/fabric.h"
#include "grouping/port_groups.h"
#include "plan/planner.h"
#include "signatures/link_classes.h"

PairRules pairRulesOf(const PlanSettings& settings);

// How far a plan tells the coverable directed links apart.
struct Separation {
  uint32_t links = 0;      // coverable directed links
  uint32_t alone = 0;      // links whose signature no other link shares
  uint32_t possible = 0;   // links alone in their inseparable class: the most that can be alone
  uint32_t classes = 0;    // inseparable classes of more than one link
  uint32_t inClasses = 0;  // links in those classes
};

// Measures any plan's stages against the classes.
Separation separationOf(const IBFabric& fabric, const LinkClasses& classes,
                        const std::vector<StageResult>& stages);

// Builds stages until every coverable host and link is covered and every
// inseparable class has a signature of its own, or maxStages is reached.
// Every stage keeps the same guarantees as makePlan's. onStage sees each
// stage as it is finished.
Plan makeLocalizingPlan(const IBFabric& fabric, const PortGroups& groups,
                        const PlanSettings& settings, const LinkClasses& classes,
                        const std::function<void(const Plan&)>& onStage = {});
