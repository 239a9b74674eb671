#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "check/degraded.h"
#include "check/flow_model.h"
#include "check/link_ranking.h"
#include "check/results_reader.h"
#include "check/separation.h"
#include "check/stage_check.h"
#include "fabric/dumps/readers.h"
#include "fabric/routing/forwarding_states.h"
#include "fabric/routing/route_walk.h"
#include "pairs/endpoints.h"
#include "pairs/pairs_reader.h"
#include "testing/generated_fabric.h"
#include "testing/small_fabric.h"
#include "testing/test_files.h"

namespace {

Stage stageOf(SmallFabric& s, std::vector<std::pair<const char*, const char*>> pairs) {
  Stage st;
  st.number = 1;
  for (auto [a, b] : pairs) st.pairs.push_back({s.port(a), s.port(b), 0});
  return st;
}

TEST(StageCheck, LoadReportOnASmallFabric) {
  SmallFabric s;
  StageChecker checker(s.f);
  // h1 and h2 both cross s1/P3; h1 sends twice; h2 -> h4 breaks at s1.
  Stage st = stageOf(s, {{"h1", "h3"}, {"h2", "h3"}, {"h3", "h1"}, {"h1", "h2"}, {"h2", "h4"}});
  StageCheck c = checker.check(st, CheckLimits{});
  EXPECT_EQ(c.pairs, 5u);
  EXPECT_EQ(c.sources, 3u);
  EXPECT_EQ(c.destinations, 4u);
  ASSERT_EQ(c.repeatedSources.size(), 2u);
  EXPECT_EQ(c.repeatedSources[0].port->getName(), "h1/P1");
  EXPECT_EQ(c.repeatedSources[0].times, 2u);
  ASSERT_EQ(c.repeatedDestinations.size(), 1u);
  EXPECT_EQ(c.repeatedDestinations[0].port->getName(), "h3/P1");
  ASSERT_EQ(c.broken, std::vector<uint32_t>{4});
  EXPECT_EQ(c.routes[4].why, "stopped at s1 table 0: no forwarding entry");
  // h1->h2 crosses s1 only (2 links); the others cross s1 and s2 (3 links).
  EXPECT_EQ(c.pathLengths, (std::map<uint32_t, size_t>{{2, 1}, {3, 3}}));
  // Cabled switch ports: s1/P1..P3, s2/P1..P3. Loads: s1/P3 2 (h1, h2 -> h3),
  // s2/P1 2 (-> h3), s2/P3 1 (h3 -> h1), s1/P1 1, s1/P2 1, s2/P2 0.
  EXPECT_EQ(c.loadHistogram, (std::map<uint32_t, size_t>{{0, 1}, {1, 3}, {2, 2}}));
  EXPECT_EQ(c.maxLoad, 2u);
  EXPECT_EQ(c.portsOverLimit, 2u);
  ASSERT_GE(c.busiest.size(), 2u);
  EXPECT_EQ(linkName(*c.busiest[0].port), "s1/P3 -> s2/P3");
  EXPECT_EQ(c.busiest[0].pairs, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(linkName(*c.busiest[1].port), "s2/P1 -> h3/P1");
  EXPECT_FALSE(c.holds());

  // A limit of 2 still fails on the repeated hosts and the broken path only.
  CheckLimits two;
  two.maxFlows = 2;
  c = checker.check(stageOf(s, {{"h1", "h3"}, {"h2", "h4"}}), two);
  EXPECT_EQ(c.portsOverLimit, 0u);
  EXPECT_FALSE(c.holds());
  c = checker.check(stageOf(s, {{"h1", "h3"}, {"h4", "h2"}}), CheckLimits{});
  EXPECT_TRUE(c.holds()) << c.portsOverLimit;
}

// A host sending to itself loads no link: its traffic never leaves the adapter.
TEST(StageCheck, SelfPairIsFlagged) {
  SmallFabric s;
  StageChecker checker(s.f);
  StageCheck c = checker.check(stageOf(s, {{"h1", "h1"}, {"h2", "h3"}}), CheckLimits{});
  ASSERT_EQ(c.broken, std::vector<uint32_t>{0});
  EXPECT_NE(c.routes[0].why.find("the same port"), std::string::npos) << c.routes[0].why;
  EXPECT_FALSE(c.holds());
}

TEST(StageCheck, AnyLidTakesTheFirstLidWithinTheLimit) {
  SmallFabric s;
  // h3 owns LIDs 4 and 5 (LMC 1); s1 has no entry for 4, so only 5 arrives.
  CheckLimits limits;
  limits.lmc = 1;
  limits.anyLid = true;
  s.f.getPort("h3", 1)->baseLid = 4;  // LIDs 4 and 5
  s.f.getNode("s1")->setLFTPortForLid(5, 3, 0);
  s.f.getNode("s2")->setLFTPortForLid(4, 1, 0);
  s.f.getNode("s2")->setLFTPortForLid(5, 1, 0);
  StageChecker checker(s.f);
  StageCheck c = checker.check(stageOf(s, {{"h1", "h3"}}), limits);
  ASSERT_TRUE(c.holds()) << c.routes[0].why;
  EXPECT_EQ(c.routes[0].dlid, 5);
  limits.anyLid = false;
  c = checker.check(stageOf(s, {{"h1", "h3"}}), limits);
  EXPECT_EQ(c.broken.size(), 1u);  // the base LID 4 has no entry on s1
}

TEST(ResultsReader, MatchesPairsByStage) {
  SmallFabric s;
  EndpointIndex endpoints(s.f);
  PairPlan plan;
  std::string err;
  ASSERT_TRUE(
      readPairsFile(writeTestFile("pairs", "STAGE 1\nh1 h3\nh2 h4\nSTAGE 2\nh1 h3\nh3 h1\n"),
                    endpoints, 0, &plan, &err))
      << err;
  Results results;
  ASSERT_TRUE(readResultsFile(writeTestFile("ok", "h2 h4 1.5e2\nSTAGE 2\nh1/P1 h3 99.5\n"),
                              endpoints, plan, &results, &err))
      << err;
  EXPECT_EQ(results.values[0][1], 150);
  EXPECT_EQ(results.values[1][0], 99.5);
  EXPECT_TRUE(std::isnan(results.values[0][0]));

  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"h1 h3 10\n", "1: h1/P1 h3/P1 is in several stages: put its result under a STAGE line"},
      {"h1 h2 10\n", "1: the pairs do not hold h1/P1 h2/P1"},
      {"STAGE 2\nh2 h4 10\n", "2: stage 2 does not hold h2/P1 h4/P1"},
      {"STAGE 3\n", "1: the pairs have no stage 3"},
      {"h2 h4 fast\n", "1: value 'fast' is not a number of at least 0"},
      {"h2 h4 -1\n", "1: value '-1' is not a number of at least 0"},
      {"h2 h4 1.7e308\n", "1: value '1.7e308' is above 1e15, more than any link carries"},
      {"h2 h4 1\nh2 h4 2\n", "2: a second value for h2/P1 h4/P1"},
      {"h2 h4\n", "1: expected 'SRC DST VALUE'"},
      {"h2 hx 1\n", "1: 'hx' names no host port of the fabric"},
  };
  for (const Case& c : cases) {
    std::string file = writeTestFile("bad", c.text);
    EXPECT_FALSE(readResultsFile(file, endpoints, plan, &results, &err)) << c.text;
    EXPECT_EQ(err, file + ":" + c.error) << c.text;
  }
}

// A generated fabric written out with one host cable at 1x and one switch
// cable at EDR, read back: the two links below the usual 4x HDR.
TEST(Degraded, LinksBelowTheUsualWidthOrSpeed) {
  GenOptions o;
  o.radix = 8;
  o.leaves = 2;
  o.hostsPerLeaf = 2;
  IBFabric gen = generatedFabric(o);
  IBPort* host = nullptr;
  IBPort* up = nullptr;
  for (IBPort& p : gen.ports()) {
    if (!p.remote) continue;
    if (!host && !p.owner->isSwitch()) host = &p;
    if (!up && p.owner->isSwitch() && p.remote->owner->isSwitch()) up = &p;
  }
  ASSERT_TRUE(host && up);
  host->width = host->remote->width = 1;
  up->speed = up->remote->speed = 25000;
  std::string dir = writeFabricToTestDir(gen);
  std::string lst = readTestFile(dir + "/fabric.lst");
  ASSERT_NE(lst.find("PHY=1x"), std::string::npos);

  IBFabric f;
  std::string err;
  ASSERT_TRUE(readLstFile(f, dir + "/fabric.lst", &err)) << err;
  DegradedReport d = findDegradedLinks(f);
  EXPECT_TRUE(d.widthRecorded && d.speedRecorded);
  EXPECT_EQ(d.usual[0].width, 4);
  EXPECT_EQ(d.usual[1].speed, 50000u);
  ASSERT_EQ(d.links.size(), 2u);
  std::vector<std::string> found;
  for (const DegradedLink& l : d.links)
    found.push_back(l.a->getName() + " " + l.b->getName() + " " + std::to_string(l.width) + " " +
                    std::to_string(l.speed));
  std::sort(found.begin(), found.end());
  std::vector<std::string> expected = {host->getName() + " " + host->remote->getName() + " 1 50000",
                                       std::min(up->getName(), up->remote->getName()) + " " +
                                           std::max(up->getName(), up->remote->getName()) +
                                           " 4 25000"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);

  // A topology without tails records nothing, and nothing is degraded.
  for (IBPort& p : f.ports()) p.width = 0, p.speed = 0;
  d = findDegradedLinks(f);
  EXPECT_FALSE(d.widthRecorded || d.speedRecorded);
  EXPECT_TRUE(d.links.empty());
}

// Suspects on a fat tree: several stages of shifted permutations, bad cables
// chosen by the test, results built as a test would measure them.
struct SuspectBench {
  IBFabric f;
  std::vector<const IBPort*> hosts;
  PairPlan plan;
  std::vector<StageCheck> checks;

  explicit SuspectBench(const std::vector<int>& shifts) {
    GenOptions o;
    o.radix = 8;
    o.leaves = 4;
    o.hostsPerLeaf = 4;
    f = generatedFabric(o);
    for (const IBPort& p : f.ports())
      if (!p.owner->isSwitch() && p.remote) hosts.push_back(&p);
    for (size_t k = 0; k < shifts.size(); ++k) {
      Stage& st = stageNumbered(plan, static_cast<uint32_t>(k + 1));
      for (size_t i = 0; i < hosts.size(); ++i)
        st.pairs.push_back(
            {hosts[i], hosts[(i + static_cast<size_t>(shifts[k])) % hosts.size()], 0});
    }
    StageChecker checker(f);
    for (const Stage& st : plan.stages) checks.push_back(checker.check(st, CheckLimits{}));
  }

  // 200 Gb/s with 3% noise, 40% of that for pairs crossing a bad link
  // (either direction of a bad cable).
  Results measure(const std::vector<const IBPort*>& bad, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> noise(-0.03, 0.03);
    Results r;
    for (size_t s = 0; s < plan.stages.size(); ++s) {
      r.values.emplace_back();
      for (size_t p = 0; p < plan.stages[s].pairs.size(); ++p) {
        const PairRoute& route = checks[s].routes[p];
        std::vector<const IBPort*> links{plan.stages[s].pairs[p].src};
        links.insert(links.end(), checks[s].hops.begin() + route.first,
                     checks[s].hops.begin() + route.first + route.count);
        bool crossesBad = false;
        for (const IBPort* l : links)
          for (const IBPort* b : bad) crossesBad |= l == b || l == b->remote;
        r.values.back().push_back(200 * (crossesBad ? 0.4 : 1 + noise(rng)));
      }
    }
    return r;
  }

  // What the pairs should reach on the recorded rates (200 Gb/s).
  Expected expected(double hostRate = 0) {
    LinkRates rates = recordedLinkRates(f, 0.001, hostRate);
    return {fairShares(f, plan, checks, rates, hostRate), true};
  }

  // A cable between a leaf and a spine that some pair of the plan crosses.
  const IBPort* usedUpLink(size_t nth) {
    std::vector<const IBPort*> used;
    for (const StageCheck& c : checks)
      for (const IBPort* h : c.hops)
        if (h->remote->owner->isSwitch() && std::find(used.begin(), used.end(), h) == used.end())
          used.push_back(h);
    std::sort(used.begin(), used.end());
    return used.at(nth);
  }
};

// The suspect that names the link, or whose note says it cannot be told
// apart from it.
bool namesLink(const Suspect& s, const IBPort* link) {
  return s.link == link || std::find(s.twins.begin(), s.twins.end(), link) != s.twins.end();
}

TEST(Suspects, BadCablesRankFirst) {
  // Shift 1 keeps most pairs inside a leaf, which clears the hosts' cables;
  // without it, other links of the slow paths stay in the running.
  for (std::vector<int> shifts : {std::vector<int>{1, 4, 5, 9, 13}, std::vector<int>{4, 5, 9}}) {
    SCOPED_TRACE(shifts.size());
    SuspectBench b(shifts);
    for (const StageCheck& c : b.checks) ASSERT_TRUE(c.holds());
    const IBPort* bad1 = b.usedUpLink(0);
    const IBPort* bad2 = b.usedUpLink(7);
    Results measured = b.measure({bad1, bad2}, 7);
    // With five stages, one slow pair that crosses no bad cable (a busy host)
    // crosses links that fast pairs cleared: no suspect explains it.
    size_t outlier = 0;
    if (shifts.size() == 5) {
      while (measured.values[0][outlier] < 150) ++outlier;
      measured.values[0][outlier] = 100;
    }
    SuspectReport r = findSuspects(b.f, b.plan, b.checks, measured, SlowRule{}, b.expected());
    // Pairs cross a cable one way or the other: each direction the plan uses
    // is a suspect, and those come first.
    auto isBad = [&](const Suspect& s) {
      return namesLink(s, bad1) || namesLink(s, bad1->remote) || namesLink(s, bad2) ||
             namesLink(s, bad2->remote);
    };
    size_t badFound = 0;
    while (badFound < r.suspects.size() && isBad(r.suspects[badFound])) ++badFound;
    EXPECT_GE(badFound, 2u);
    for (size_t i = badFound; i < r.suspects.size(); ++i) EXPECT_FALSE(isBad(r.suspects[i]));
    for (size_t i = 0; i < badFound; ++i) EXPECT_EQ(r.suspects[i].fastPairs, 0u);
    EXPECT_EQ(r.suspects.size(), badFound);
    EXPECT_GT(r.slow.size(), 0u);
    for (const SlowPair& sp : r.slow)
      EXPECT_EQ(sp.explained, shifts.size() != 5 || sp.ref.stage != 0 || sp.ref.pair != outlier);
    for (const StageThreshold& t : r.stages) EXPECT_NEAR(t.threshold, 180, 6);
  }
}

TEST(Suspects, OneStageCannotTellTheLinksOfAPathApart) {
  // One collision-free stage: each link carries one pair, so every link of a
  // slow pair's path is crossed by exactly that pair.
  SuspectBench b({4});
  const IBPort* bad = b.usedUpLink(0);
  SuspectReport r =
      findSuspects(b.f, b.plan, b.checks, b.measure({bad}, 3), SlowRule{}, b.expected());
  auto it = std::find_if(r.suspects.begin(), r.suspects.end(),
                         [&](const Suspect& s) { return namesLink(s, bad); });
  ASSERT_NE(it, r.suspects.end());
  EXPECT_EQ(it->twins.size(), 3u);  // host cable, leaf up, spine down, leaf down

  // More stages separate them: the bad cable stands alone.
  SuspectBench more({1, 4, 5, 9, 13});
  const IBPort* same = more.f.ports().data() + (bad - b.f.ports().data());
  r = findSuspects(more.f, more.plan, more.checks, more.measure({same}, 3), SlowRule{},
                   more.expected());
  it = std::find_if(r.suspects.begin(), r.suspects.end(),
                    [&](const Suspect& s) { return namesLink(s, same); });
  ASSERT_NE(it, r.suspects.end());
  EXPECT_EQ(it->link, same);
  EXPECT_TRUE(it->twins.empty());
}

TEST(FlowModel, FairSharesOfAStage) {
  SmallFabric s;
  for (IBPort& p : s.f.ports()) p.width = 4, p.speed = 50000;  // 200 Gb/s
  // h1 -> h3 and h2 -> h3 share s1/P3 and s2/P1; h3 -> h1 runs alone; the
  // route to h4 breaks.
  PairPlan plan;
  plan.stages.push_back(stageOf(s, {{"h1", "h3"}, {"h2", "h3"}, {"h3", "h1"}, {"h2", "h4"}}));
  StageChecker checker(s.f);
  std::vector<StageCheck> checks = {checker.check(plan.stages[0], CheckLimits{})};
  LinkRates rates = recordedLinkRates(s.f, 0.001, 0);
  ASSERT_TRUE(rates.recorded);
  std::vector<double> v = fairShares(s.f, plan, checks, rates, 0)[0];
  EXPECT_DOUBLE_EQ(v[0], 100);
  EXPECT_DOUBLE_EQ(v[1], 100);
  EXPECT_DOUBLE_EQ(v[2], 200);
  EXPECT_TRUE(std::isnan(v[3]));
  // A host ceiling of 120 and s2/P3 at a quarter: h3 receives twice, h2
  // sends twice, h1 receives twice; h3 -> h1 keeps the slow link's 50.
  rates.rate[static_cast<size_t>(s.f.getPort("s2", 3) - s.f.ports().data())] *= 0.25;
  plan.stages[0] = stageOf(s, {{"h1", "h3"}, {"h2", "h3"}, {"h3", "h1"}, {"h2", "h1"}});
  checks = {checker.check(plan.stages[0], CheckLimits{})};
  v = fairShares(s.f, plan, checks, rates, 120)[0];
  EXPECT_DOUBLE_EQ(v[0], 60);  // h3's 120 split between its senders
  EXPECT_DOUBLE_EQ(v[1], 60);
  EXPECT_DOUBLE_EQ(v[2], 50);
  EXPECT_DOUBLE_EQ(v[3], 60);  // what h2 has left; h1 would take 70
}

// What splitClass says no test can split, against every valid pair walked
// one by one, on a 3-level tree with private tables.
TEST(Separation, MatchesEveryPairWalked) {
  GenOptions o;
  o.levels = 3;
  o.radix = 8;
  o.privateTables = true;
  IBFabric f = generatedFabric(o);
  ForwardingStates states(f);
  PairRule rule = pairRuleOf(f, everyHostGroups(f), 3);  // pairs on one leaf take no part
  LinkRates rates = recordedLinkRates(f, 0.001, 1);
  std::vector<const IBPort*> hosts;
  for (const IBPort& p : f.ports())
    if (rule.groupOf[static_cast<size_t>(&p - f.ports().data())] >= 0) hosts.push_back(&p);
  RouteWalker walker(f);
  std::vector<const IBPort*> path;
  for (size_t k : {0, 37, 101}) {
    // The class: the links of one pair's path.
    const IBPort* a = hosts[k];
    const IBPort* b = hosts[(k * 7 + 50) % hosts.size()];
    ASSERT_TRUE(walker.walk(*a, b->baseLid, &path).arrivedAt(*b));
    std::vector<const IBPort*> links = {a};
    links.insert(links.end(), path.begin(), path.end());
    ClassSplit split = splitClass(f, states, rule, rates.rate, links, {});
    ASSERT_TRUE(split.known);
    // Members by the set of valid pairs that cross them.
    std::vector<std::vector<uint32_t>> crossedBy(links.size());
    uint32_t pairId = 0;
    for (const IBPort* src : hosts)
      for (const IBPort* dst : hosts) {
        if (src == dst || !walker.walk(*src, dst->baseLid, &path).arrivedAt(*dst) ||
            path.size() + 1 < rule.minDist)
          continue;
        ++pairId;
        for (size_t i = 0; i < links.size(); ++i)
          if (links[i] == src || std::find(path.begin(), path.end(), links[i]) != path.end())
            crossedBy[i].push_back(pairId);
      }
    std::vector<std::vector<uint32_t>> together;
    std::vector<bool> grouped(links.size(), false);
    for (uint32_t i = 0; i < links.size(); ++i) {
      if (grouped[i]) continue;
      std::vector<uint32_t> group = {i};
      for (uint32_t j = i + 1; j < links.size(); ++j)
        if (crossedBy[j] == crossedBy[i]) group.push_back(j), grouped[j] = true;
      if (group.size() > 1) together.push_back(group);
    }
    EXPECT_EQ(split.together, together) << k;
    EXPECT_EQ(split.splittable, together.size() != 1 || together[0].size() != links.size()) << k;
    EXPECT_FALSE(split.tests.empty()) << k;
  }
}

}  // namespace
