// Plans rechecked from the forwarding tables: every stage keeps the pairing
// guarantees, and the stages together cover exactly what a brute-force walk
// of every valid pair's route can cover.
#include "plan/planner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "fabric/routing/route_walk.h"
#include "search/lid_map.h"
#include "testing/generated_fabric.h"
#include "testing/test_fabrics.h"

namespace {

// The egress ports of the route from src to lid, or empty when the route is
// broken or ends anywhere but at dst; hops gets its length in links.
std::vector<const IBPort*> routeOf(RouteWalker& walker, const IBPort* src, const IBPort* dst,
                                   uint16_t lid, uint32_t& hops) {
  std::vector<const IBPort*> ports;
  if (!walker.walk(*src, lid, &ports).arrivedAt(*dst)) return {};
  hops = static_cast<uint32_t>(ports.size()) + 1;
  return ports;
}

struct Reach {
  std::set<const IBPort*> ports;
  std::set<const IBPort*> senders, receivers;
};

// Everything some valid pair covers, by walking every pair's routes.
Reach bruteForce(RouteWalker& walker, const PortGroups& groups, const PlanSettings& s) {
  Reach r;
  if (s.maxFlows == 0) return r;
  for (const auto& [srcGroup, srcs] : groups) {
    for (const auto& [dstGroup, dsts] : groups) {
      if (srcGroup == dstGroup) continue;
      for (const IBPort* src : srcs) {
        for (const IBPort* dst : dsts) {
          const uint32_t lids = s.anyLid ? lidsPerPort(s.lmc) : 1;
          for (uint32_t k = 0; k < lids && dst->baseLid; ++k) {
            uint32_t hops = 0;
            auto route = routeOf(walker, src, dst, static_cast<uint16_t>(dst->baseLid + k), hops);
            if (route.empty() || hops < s.minDist) continue;
            r.ports.insert(route.begin(), route.end());
            r.senders.insert(src);
            r.receivers.insert(dst);
          }
        }
      }
    }
  }
  return r;
}

// Checks every stage's guarantees and returns what the plan covers; problem
// names the first broken guarantee.
Reach checkPlan(RouteWalker& walker, const Plan& plan, const PortGroups& groups,
                const PlanSettings& s, std::string& problem) {
  std::map<const IBPort*, std::string> groupOf;
  for (const auto& [name, ports] : groups)
    for (const IBPort* p : ports) groupOf[p] = name;
  Reach covered;
  for (size_t k = 0; k < plan.stages.size() && problem.empty(); ++k) {
    std::map<const IBPort*, uint32_t> load;
    std::set<const IBPort*> sent, received;
    for (const PlannedPair& p : plan.stages[k].pairs) {
      const std::string what =
          "stage " + std::to_string(k + 1) + " " + p.src->getName() + " " + p.dst->getName();
      if (!groupOf.count(p.src) || !groupOf.count(p.dst)) problem = "ungrouped host: " + what;
      if (groupOf[p.src] == groupOf[p.dst]) problem = "same group: " + what;
      if (!sent.insert(p.src).second) problem = "sends twice: " + what;
      if (!received.insert(p.dst).second) problem = "receives twice: " + what;
      const bool lidOk = s.anyLid
                             ? static_cast<uint16_t>(p.dlid - p.dst->baseLid) < lidsPerPort(s.lmc)
                             : p.dlid == p.dst->baseLid;
      if (!lidOk) problem = "not the destination's LID: " + what;
      uint32_t hops = 0;
      auto route = routeOf(walker, p.src, p.dst, p.dlid, hops);
      if (route.empty()) problem = "route broken: " + what;
      if (hops < s.minDist) problem = "too short: " + what;
      for (const IBPort* e : route) {
        if (++load[e] > s.maxFlows) problem = "overloads " + e->getName() + ": " + what;
        covered.ports.insert(e);
      }
      covered.senders.insert(p.src);
      covered.receivers.insert(p.dst);
      if (!problem.empty()) break;
    }
  }
  return covered;
}

// Plans and checks: guarantees, coverage equal to the brute-force reach,
// and the coverable counts the plan reports.
Plan planAndCheck(const IBFabric& fabric, const PortGroups& groups, const PlanSettings& s,
                  const std::string& tag) {
  Plan plan = makePlan(fabric, groups, s);
  std::string problem;
  RouteWalker walker(fabric);
  const Reach covered = checkPlan(walker, plan, groups, s, problem);
  EXPECT_EQ(problem, "") << tag;
  const Reach reach = bruteForce(walker, groups, s);
  EXPECT_TRUE(plan.complete) << tag;
  EXPECT_EQ(covered.ports, reach.ports) << tag;
  EXPECT_EQ(covered.senders, reach.senders) << tag;
  EXPECT_EQ(covered.receivers, reach.receivers) << tag;
  EXPECT_EQ(plan.coverable.links, reach.ports.size() + reach.senders.size()) << tag;
  if (!reach.ports.empty()) {
    EXPECT_GE(plan.stages.size(), plan.coverable.lowerBound) << tag;
  }
  return plan;
}

TEST(Plan, FabricgenTreesCoverEverythingWithinTheGuarantees) {
  struct Case {
    int levels, radix, hostsPerLeaf, upLinks;
    bool privateTables;
    uint16_t lmc;
    bool anyLid;
    uint32_t maxFlows, minDist;
  };
  const Case cases[] = {
      {2, 8, 0, 0, false, 0, false, 1, 0}, {2, 12, 0, 0, true, 0, false, 1, 0},
      {3, 6, 0, 0, false, 0, false, 1, 0}, {3, 8, 0, 0, true, 0, false, 1, 0},
      {2, 8, 0, 0, false, 2, true, 1, 0},  {3, 6, 0, 0, false, 1, false, 1, 0},
      {2, 8, 0, 0, false, 0, false, 2, 3}, {3, 6, 0, 0, true, 0, false, 3, 5},
      {2, 8, 6, 2, false, 0, false, 1, 0}, {3, 8, 6, 2, false, 1, true, 1, 0},
  };
  for (const Case& c : cases) {
    const std::string tag = "levels " + std::to_string(c.levels) + " radix " +
                            std::to_string(c.radix) + " hosts " + std::to_string(c.hostsPerLeaf) +
                            " up " + std::to_string(c.upLinks) +
                            (c.privateTables ? " private" : "") + " lmc " + std::to_string(c.lmc) +
                            (c.anyLid ? " any-lid" : "") + " n " + std::to_string(c.maxFlows) +
                            " d " + std::to_string(c.minDist);
    GenOptions gen;
    gen.levels = c.levels;
    gen.radix = c.radix;
    gen.hostsPerLeaf = c.hostsPerLeaf;
    gen.upLinks = c.upLinks;
    gen.privateTables = c.privateTables;
    gen.lmc = c.lmc;
    const IBFabric fabric = generatedFabric(gen);
    PlanSettings s;
    s.maxFlows = c.maxFlows;
    s.minDist = c.minDist;
    s.lmc = c.lmc;
    s.anyLid = c.anyLid;
    const Plan plan = planAndCheck(fabric, groupsByRack(fabric), s, tag);
    // Full-bisection trees with one table per switch: at most 3 stages, and
    // at most one above the bound.
    if (c.upLinks == 0 && !c.privateTables && c.maxFlows == 1 && c.minDist == 0) {
      EXPECT_LE(plan.stages.size(), 3u) << tag;
      EXPECT_LE(plan.stages.size(), plan.coverable.lowerBound + 1) << tag;
    }
    // Leaves of 6 hosts sending over 2 up-links: 3 stages at least.
    if (c.upLinks == 2) {
      EXPECT_EQ(plan.coverable.lowerBound, 3u) << tag;
    }
  }
}

// Random switch graphs, some with scrambled forwarding entries (loops, dead
// ends, LIDs delivered to the wrong host) and hosts without a link: what is
// broken is simply not coverable.
TEST(Plan, RandomFabricsCoverWhatValidPairsReach) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    RandomFabricParams prm;
    prm.switches = 2 + seed % 6;
    prm.hosts = 6 + seed % 14;
    prm.extraLinks = seed % 4;
    prm.portsPerSwitch = portsForLinks(prm, 2);
    prm.groups = 2 + seed % 3;
    prm.privateTables = seed % 2;
    prm.lmc = seed % 5 == 0 ? 1 : 0;
    prm.unlinkedHosts = seed % 7 == 0 ? 1 : 0;
    prm.scrambledEntries = seed % 3 == 0 ? 6 : 0;
    TestFabric t = makeRandomFabric(prm, seed);
    PlanSettings s;
    s.maxFlows = 1 + seed % 2;
    s.minDist = seed % 4 == 0 ? 4 : 0;
    s.lmc = prm.lmc;
    s.anyLid = seed % 10 == 0;
    const std::string tag = "seed " + std::to_string(seed);
    const Plan plan = planAndCheck(*t.fabric, groupsOf(t), s, tag);
    for (size_t i = 0; i < plan.coverable.hosts.size(); ++i) {
      if (!plan.coverable.hosts[i]->remote) {
        EXPECT_EQ(plan.coverable.sendGap[i], HostGap::kNoLink) << tag;
      }
    }
  }
}

TEST(Plan, NothingCoverableWithOneGroupOrNoFlows) {
  GenOptions gen;
  gen.radix = 6;
  const IBFabric fabric = generatedFabric(gen);
  PortGroups all;
  for (const auto& [name, ports] : groupsByRack(fabric)) all[""].insert(ports.begin(), ports.end());
  PlanSettings none;
  none.maxFlows = 0;
  for (const auto& [groups, s, gap] : {std::tuple{all, PlanSettings{}, HostGap::kNoOtherGroup},
                                       std::tuple{groupsByRack(fabric), none, HostGap::kNoRoute}}) {
    const Plan plan = makePlan(fabric, groups, s);
    EXPECT_TRUE(plan.stages.empty());
    EXPECT_TRUE(plan.complete);
    EXPECT_EQ(plan.coverable.links, 0u);
    EXPECT_EQ(plan.coverable.lowerBound, 0u);
    ASSERT_FALSE(plan.coverable.hosts.empty());
    for (size_t i = 0; i < plan.coverable.hosts.size(); ++i) {
      EXPECT_EQ(plan.coverable.sendGap[i], gap);
      EXPECT_EQ(plan.coverable.receiveGap[i], gap);
    }
  }
}

TEST(Plan, CableNoRouteUsesIsReportedAndTheRestCovered) {
  GenOptions gen;
  gen.radix = 8;
  gen.leaves = 2;  // spines keep free ports
  IBFabric fabric = generatedFabric(gen);
  std::vector<IBPort*> spare;
  for (IBNode& node : fabric.nodes()) {
    if (!node.isSwitch()) continue;
    for (unsigned n = 1; n <= node.portCount && spare.size() < 2; ++n) {
      IBPort* p = node.getPort(n);
      if (p && !p->remote && (spare.empty() || spare[0]->owner != &node)) {
        spare.push_back(p);
        break;
      }
    }
  }
  ASSERT_EQ(spare.size(), 2u);
  IBFabric::link(spare[0], spare[1]);
  const Plan plan = planAndCheck(fabric, groupsByRack(fabric), PlanSettings{}, "spare cable");
  const std::set<const IBPort*> idle(plan.coverable.idlePorts.begin(),
                                     plan.coverable.idlePorts.end());
  EXPECT_EQ(idle, (std::set<const IBPort*>{spare[0], spare[1]}));
}

TEST(Plan, StageLimitAndSameInputSamePlan) {
  GenOptions gen;
  gen.radix = 8;
  gen.hostsPerLeaf = 6;
  gen.upLinks = 2;
  const IBFabric fabric = generatedFabric(gen);
  PlanSettings s;
  const Plan full = makePlan(fabric, groupsByRack(fabric), s);
  ASSERT_GE(full.stages.size(), 3u);
  s.maxStages = 2;
  const Plan cut = makePlan(fabric, groupsByRack(fabric), s);
  EXPECT_EQ(cut.stages.size(), 2u);
  EXPECT_FALSE(cut.complete);
  // The stages made before the limit are the full plan's.
  for (size_t k = 0; k < cut.stages.size(); ++k) {
    ASSERT_EQ(cut.stages[k].pairs.size(), full.stages[k].pairs.size());
    for (size_t i = 0; i < cut.stages[k].pairs.size(); ++i) {
      EXPECT_EQ(cut.stages[k].pairs[i].src, full.stages[k].pairs[i].src);
      EXPECT_EQ(cut.stages[k].pairs[i].dst, full.stages[k].pairs[i].dst);
    }
  }
}

}  // namespace

// A chain of switches with a host of each group at either end: routes far
// longer than any tree's are planned like short ones.
TEST(Plan, RoutesThroughThousandsOfSwitches) {
  constexpr unsigned kSwitches = 8000;
  auto name = [](unsigned i) {
    char text[16];
    std::snprintf(text, sizeof text, "s%u", i);
    return std::string(text);
  };
  IBFabric fabric;
  std::vector<NodeDecl> decls;
  for (unsigned i = 0; i < kSwitches; ++i) decls.push_back({IB_SW_NODE, name(i), "", 0, 0, 3, 0});
  decls.push_back({IB_CA_NODE, "a", "", 0, 0, 1, 0});
  decls.push_back({IB_CA_NODE, "b", "", 0, 0, 1, 0});
  ASSERT_EQ(fabric.createNodes(decls), 0);
  IBPort* a = fabric.getPort("a", 1);
  IBPort* b = fabric.getPort("b", 1);
  a->baseLid = 1;
  b->baseLid = 2;
  IBFabric::link(a, fabric.getPort("s0", 3));
  IBFabric::link(b, fabric.getPort(name(kSwitches - 1), 3));
  for (unsigned i = 0; i < kSwitches; ++i) {
    IBNode* s = fabric.getNode(name(i));
    if (i + 1 < kSwitches) IBFabric::link(s->getPort(2), fabric.getPort(name(i + 1), 1));
    s->setLFTPortForLid(1, i == 0 ? 3 : 1, 0);
    s->setLFTPortForLid(2, i + 1 == kSwitches ? 3 : 2, 0);
  }
  const Plan plan = planAndCheck(fabric, {{"a", {a}}, {"b", {b}}}, PlanSettings{}, "chain");
  EXPECT_EQ(plan.coverable.links, 2 * kSwitches + 2);
  EXPECT_EQ(plan.stages.size(), 1u);
}
