// The stage search with its dead-LID rows against the same search walking
// everything every time: the same stages, pair for pair, on min-hop trees
// over shuffled LIDs (where many walks find nothing) and on random fabrics.
#include "plan/stage_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plan/coverage.h"
#include "testing/generated_fabric.h"
#include "testing/test_fabrics.h"

namespace {

std::vector<std::string> stages(const IBFabric& fabric, const PortGroups& groups,
                                const PlanSettings& settings, bool keepDeadLids) {
  PlanRoutes routes(fabric);
  Hosts hosts;
  const Coverable c = coverableOf(routes, groups, settings, hosts);
  StageSearch search(routes, hosts, c, settings, keepDeadLids);
  std::vector<std::string> out;
  while (search.anythingLeft() && out.size() < 20) {
    std::string text;
    for (const PlannedPair& p : search.nextStage().pairs)
      text += p.src->getName() + " " + p.dst->getName() + " " + std::to_string(p.dlid) + "\n";
    if (text.empty()) break;
    out.push_back(text);
  }
  return out;
}

TEST(StageSearch, DeadLidsChangeNoStage) {
  size_t compared = 0;
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    GenOptions gen;
    gen.levels = 3;
    gen.radix = seed % 2 ? 8 : 6;
    gen.lmc = static_cast<uint16_t>(seed % 3 == 0);
    gen.privateTables = seed % 4 == 0;
    gen.faultWrongHost = seed == 5;
    gen.shuffled = true;
    gen.shuffleSeed = seed;
    gen.routing = GenOptions::Routing::kMinHop;
    const IBFabric fabric = generatedFabric(gen);
    for (uint32_t flows = 1; flows <= 3; ++flows) {
      PlanSettings settings;
      settings.maxFlows = flows;
      settings.lmc = gen.lmc;
      settings.anyLid = seed % 2 == 0;
      const PortGroups groups = groupsByRack(fabric);
      const std::vector<std::string> got = stages(fabric, groups, settings, true);
      EXPECT_EQ(got, stages(fabric, groups, settings, false)) << "tree " << seed << " -n " << flows;
      compared += got.size();
    }
  }
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    RandomFabricParams prm;
    prm.switches = 2 + seed % 6;
    prm.hosts = 6 + seed % 14;
    prm.extraLinks = seed % 5;
    prm.portsPerSwitch = std::max(3u, portsForLinks(prm, 1)) + 2;
    prm.groups = 2 + seed % 4;
    prm.lmc = static_cast<uint16_t>(seed % 3);
    prm.privateTables = seed % 2 == 0;
    prm.scrambledEntries = seed % 3 == 0 ? seed % 7 : 0;
    TestFabric t = makeRandomFabric(prm, seed);
    PlanSettings settings;
    settings.maxFlows = 1 + seed % 3;
    settings.lmc = prm.lmc;
    settings.anyLid = seed % 4 == 0;
    const std::vector<std::string> got = stages(*t.fabric, groupsOf(t), settings, true);
    EXPECT_EQ(got, stages(*t.fabric, groupsOf(t), settings, false)) << "random " << seed;
    compared += got.size();
  }
  EXPECT_GT(compared, 0u);
}

}  // namespace
