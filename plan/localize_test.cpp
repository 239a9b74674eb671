// Localizing plans and compaction, rechecked from the forwarding tables:
// every stage keeps the pairing guarantees, everything coverable stays
// covered, and every link that can have a signature of its own has one.
#include "plan/localize.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "fabric/routing/route_walk.h"
#include "plan/compaction.h"
#include "testing/generated_fabric.h"
#include "testing/test_fabrics.h"

namespace {

// The first broken guarantee of any stage, or ""; covered gets the directed
// links the plan crosses (by the port they leave from).
std::string checkStages(const IBFabric& fabric, const std::vector<StageResult>& stages,
                        const PortGroups& groups, const PlanSettings& s,
                        std::set<const IBPort*>& covered) {
  std::map<const IBPort*, std::string> groupOf;
  for (const auto& [name, ports] : groups)
    for (const IBPort* p : ports) groupOf[p] = name;
  RouteWalker walker(fabric);
  std::vector<const IBPort*> route;
  for (size_t k = 0; k < stages.size(); ++k) {
    std::map<const IBPort*, uint32_t> load;
    std::set<const IBPort*> sent, received;
    for (const PlannedPair& p : stages[k].pairs) {
      const std::string what =
          "stage " + std::to_string(k + 1) + " " + p.src->getName() + " " + p.dst->getName();
      if (!groupOf.count(p.src) || !groupOf.count(p.dst) || groupOf[p.src] == groupOf[p.dst])
        return "groups: " + what;
      if (!sent.insert(p.src).second || !received.insert(p.dst).second) return "twice: " + what;
      if (!s.anyLid && p.dlid != p.dst->baseLid) return "LID: " + what;
      if (!walker.walk(*p.src, p.dlid, &route).arrivedAt(*p.dst)) return "broken: " + what;
      if (route.size() + 1 < s.minDist) return "short: " + what;
      covered.insert(p.src);
      for (const IBPort* e : route) {
        if (++load[e] > s.maxFlows) return "overloads " + e->getName() + ": " + what;
        covered.insert(e);
      }
    }
  }
  return "";
}

void expectLocalizes(const IBFabric& fabric, const PortGroups& groups, const PlanSettings& s,
                     const std::string& tag) {
  const LinkClasses classes = findLinkClasses(fabric, groups, pairRulesOf(s));
  Plan plan = makeLocalizingPlan(fabric, groups, s, classes);
  compactStages(fabric, plan.coverable, s, plan.stages, Redundant::kSignatures);
  std::set<const IBPort*> covered;
  EXPECT_EQ(checkStages(fabric, plan.stages, groups, s, covered), "") << tag;
  EXPECT_TRUE(plan.complete) << tag;
  EXPECT_EQ(covered.size(), classes.links) << tag;
  EXPECT_EQ(plan.coverable.links, classes.links) << tag;
  const Separation sep = separationOf(fabric, classes, plan.stages);
  EXPECT_EQ(sep.links, classes.links) << tag;
  EXPECT_EQ(sep.alone, sep.possible) << tag;
  if (!plan.stages.empty()) {
    EXPECT_EQ(plan.stages.back().linksCovered, classes.links) << tag;
  }
}

TEST(LocalizingPlan, EveryClassGetsASignatureOfItsOwn) {
  struct Case {
    int levels, radix;
    bool privateTables;
    uint32_t maxFlows, minDist;
  };
  for (const Case& c : {Case{2, 8, false, 1, 0}, Case{3, 6, true, 1, 0}, Case{2, 12, false, 2, 3},
                        Case{3, 4, false, 1, 5}}) {
    const std::string tag = std::to_string(c.levels) + " levels, radix " + std::to_string(c.radix);
    GenOptions gen;
    gen.levels = c.levels;
    gen.radix = c.radix;
    gen.privateTables = c.privateTables;
    const IBFabric fabric = generatedFabric(gen);
    PlanSettings s;
    s.maxFlows = c.maxFlows;
    s.minDist = c.minDist;
    expectLocalizes(fabric, groupsByRack(fabric), s, tag);
  }
  for (uint32_t seed = 1; seed <= 10; ++seed) {
    RandomFabricParams prm;
    prm.switches = 3 + seed % 4;
    prm.hosts = 8 + seed % 9;
    prm.groups = 2 + seed % 3;
    prm.privateTables = seed % 2;
    prm.scrambledEntries = seed % 3 == 0 ? 4 : 0;
    prm.portsPerSwitch = portsForLinks(prm, 2);
    TestFabric t = makeRandomFabric(prm, seed);
    PlanSettings s;
    s.maxFlows = 1 + seed % 2;
    expectLocalizes(*t.fabric, groupsOf(t), s, "seed " + std::to_string(seed));
  }
}

// A plan spread over twice its stages, each cut in half, packs back into
// at most as many stages as it had, covering the same.
TEST(CompactStages, PacksSpreadStagesBack) {
  GenOptions gen;
  gen.radix = 8;
  gen.hostsPerLeaf = 6;
  gen.upLinks = 2;
  const IBFabric fabric = generatedFabric(gen);
  const PortGroups groups = groupsByRack(fabric);
  const PlanSettings s;
  const Plan plan = makePlan(fabric, groups, s);
  std::vector<StageResult> spread;
  for (const StageResult& stage : plan.stages) {
    const size_t half = stage.pairs.size() / 2;
    spread.emplace_back().pairs.assign(stage.pairs.begin(), stage.pairs.begin() + half);
    spread.emplace_back().pairs.assign(stage.pairs.begin() + half, stage.pairs.end());
  }
  for (bool dropRedundant : {false, true}) {
    std::vector<StageResult> stages = spread;
    compactStages(fabric, plan.coverable, s, stages,
                  dropRedundant ? Redundant::kCovered : Redundant::kNone);
    EXPECT_LE(stages.size(), plan.stages.size()) << dropRedundant;
    std::set<const IBPort*> covered;
    EXPECT_EQ(checkStages(fabric, stages, groups, s, covered), "") << dropRedundant;
    EXPECT_EQ(covered.size(), plan.coverable.links) << dropRedundant;
    ASSERT_FALSE(stages.empty());
    EXPECT_EQ(stages.back().linksCovered, plan.coverable.links);
    EXPECT_EQ(stages.back().hostsCovered, plan.coverable.coverableHosts);
    size_t pairs = 0, before = 0;
    for (const StageResult& st : stages) pairs += st.pairs.size();
    for (const StageResult& st : spread) before += st.pairs.size();
    // Only dropping may lose pairs.
    if (dropRedundant)
      EXPECT_LE(pairs, before);
    else
      EXPECT_EQ(pairs, before);
  }
}

}  // namespace
