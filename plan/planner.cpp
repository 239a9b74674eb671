#include "plan/planner.h"

#include "plan/coverage.h"
#include "plan/stage_search.h"

Plan makePlan(const IBFabric& fabric, const PortGroups& groups, const PlanSettings& settings,
              const std::function<void(const Plan&)>& onStage) {
  Plan plan;
  PlanRoutes routes(fabric);
  Hosts hosts;
  plan.coverable = coverableOf(routes, groups, settings, hosts);
  StageSearch search(routes, hosts, plan.coverable, settings);
  while (search.anythingLeft()) {
    if (settings.maxStages != 0 && plan.stages.size() >= settings.maxStages) break;
    StageResult stage = search.nextStage();
    if (stage.pairs.empty()) break;  // cannot happen while something coverable is left
    plan.stages.push_back(std::move(stage));
    if (onStage) onStage(plan);
  }
  plan.complete = !search.anythingLeft();
  return plan;
}
