#include "signatures/link_classes.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "fabric/routing/forwarding_states.h"
#include "testing/generated_fabric.h"
#include "testing/test_fabrics.h"

namespace {

using PairSet = std::set<std::pair<const IBPort*, uint16_t>>;  // (source, destination LID)

// Every valid pair walked hop by hop from the node model: the pairs crossing
// each directed link, named by the port it leaves from.
std::map<const IBPort*, PairSet> pairsByLink(const PortGroups& groups, const PairRules& rules) {
  std::map<const IBPort*, PairSet> byLink;
  if (rules.maxFlows == 0) return byLink;
  std::map<uint16_t, std::pair<const IBPort*, std::string>> ownerOfLid;
  const unsigned lids = rules.anyLid ? 1u << rules.lmc : 1;
  for (const auto& [group, ports] : groups)
    for (const IBPort* p : ports)
      for (unsigned k = 0; k < lids && p->baseLid; ++k)
        ownerOfLid[static_cast<uint16_t>(p->baseLid + k)] = {p, group};
  for (const auto& [srcGroup, ports] : groups) {
    for (const IBPort* src : ports) {
      for (const auto& [lid, owner] : ownerOfLid) {
        if (owner.second == srcGroup || !src->remote) continue;
        std::vector<const IBPort*> path{src};
        std::set<std::pair<const IBNode*, uint8_t>> seen;
        const IBPort* in = src->remote;
        while (in->owner->isSwitch()) {
          const uint8_t table = in->owner->tableForIngress(in->portNumber);
          if (!seen.insert({in->owner, table}).second) break;
          const IBPort* out = linkedPort(*in->owner, in->owner->getLFTPortForLid(lid, table));
          if (!out) break;
          path.push_back(out);
          in = out->remote;
        }
        if (in != owner.first || path.size() < rules.minDist) continue;
        for (const IBPort* link : path) byLink[link].insert({src, lid});
      }
    }
  }
  return byLink;
}

// Classes as sets of port names, from either side.
using Partition = std::set<std::set<std::string>>;

Partition bruteForce(const PortGroups& groups, const PairRules& rules) {
  std::map<PairSet, std::set<std::string>> classes;
  for (const auto& [link, pairs] : pairsByLink(groups, rules))
    classes[pairs].insert(link->getName());
  Partition out;
  for (auto& [pairs, links] : classes) out.insert(links);
  return out;
}

Partition found(const IBFabric& fabric, const LinkClasses& c) {
  Partition out;
  for (const auto& members : c.members) {
    std::set<std::string> names;
    for (const IBPort* p : members) {
      names.insert(p->getName());
      EXPECT_EQ(classOfLink(fabric, c, *p), &members - c.members.data());
    }
    out.insert(names);
  }
  return out;
}

struct Case {
  std::string what;
  PairRules rules;
};

// Compares both sides on every case; returns how many classes of more than
// one link and how many of one link the cases had, so that a caller can tell
// the comparison was not trivial.
std::pair<size_t, size_t> expectSameClasses(const IBFabric& fabric, const PortGroups& groups,
                                            const std::vector<Case>& cases) {
  size_t shared = 0, alone = 0;
  for (const Case& k : cases) {
    const LinkClasses c = findLinkClasses(fabric, groups, k.rules);
    const Partition want = bruteForce(groups, k.rules);
    EXPECT_EQ(found(fabric, c), want) << k.what;
    size_t links = 0;
    for (const auto& members : want) {
      links += members.size();
      shared += members.size() > 1;
      alone += members.size() == 1;
    }
    EXPECT_EQ(c.links, links) << k.what;
  }
  return {shared, alone};
}

const std::vector<Case> kRuleCases = {
    {"defaults", {}},
    {"no flow allowed", {0, 0, 0, false}},
    {"at least 4 links", {1, 0, 4, false}},
    {"at least 5 links", {1, 0, 5, false}},
};

TEST(LinkClasses, MatchEveryValidPairWalkedOnTrees) {
  struct Tree {
    const char* what;
    GenOptions gen;
  };
  std::vector<Tree> trees(4);
  trees[0] = {"2 levels, radix 8", {}};
  trees[0].gen.radix = 8;
  trees[1] = {"2 levels, private tables, 2 hosts per rack", {}};
  trees[1].gen.radix = 8;
  trees[1].gen.privateTables = true;
  trees[1].gen.hostsPerRack = 2;
  trees[2] = {"3 levels, radix 4, LMC 1", {}};
  trees[2].gen.levels = 3;
  trees[2].gen.radix = 4;
  trees[2].gen.lmc = 1;
  trees[3] = {"2 levels, a missing entry and a loop", {}};
  trees[3].gen.radix = 8;
  trees[3].gen.faultMissingEntry = true;
  trees[3].gen.faultLoop = true;
  size_t shared = 0, alone = 0;
  for (const Tree& t : trees) {
    SCOPED_TRACE(t.what);
    const IBFabric fabric = generatedFabric(t.gen);
    const PortGroups byRack = groupsByRack(fabric);
    std::vector<Case> cases = kRuleCases;
    cases.push_back({"any LID", {1, t.gen.lmc, 0, true}});
    const auto [s, a] = expectSameClasses(fabric, byRack, cases);
    shared += s;
    alone += a;
  }
  EXPECT_GT(shared, 0u);
  EXPECT_GT(alone, 0u);
}

TEST(LinkClasses, MatchEveryValidPairWalkedOnRandomGraphs) {
  size_t shared = 0, alone = 0;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomFabricParams prm;
    prm.switches = 5;
    prm.hosts = 14;
    prm.groups = 1 + seed % 4;
    prm.lmc = static_cast<uint16_t>(seed % 2);
    prm.privateTables = seed % 3 != 0;
    prm.scrambledEntries = seed % 4;
    prm.unlinkedHosts = seed % 5 == 0;
    prm.portsPerSwitch = portsForLinks(prm, 2);
    const TestFabric t = makeRandomFabric(prm, seed);
    std::vector<Case> cases = kRuleCases;
    cases.push_back({"any LID", {1, prm.lmc, 0, true}});
    const auto [s, a] = expectSameClasses(*t.fabric, groupsOf(t), cases);
    shared += s;
    alone += a;
  }
  EXPECT_GT(shared, 0u);
  EXPECT_GT(alone, 0u);
}

}  // namespace
