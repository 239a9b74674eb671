// The fast search against the reference one on generated fabrics: same pairs,
// same console, same counters, same free LIDs, step by step and run by run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "search/dst_search.h"
#include "search/lid_map.h"
#include "search/pairing.h"
#include "testing/generated_fabric.h"
#include "testing/reference_search.h"
#include "testing/test_fabrics.h"
#include "testing/test_files.h"

namespace {

std::vector<uint32_t> counters(const IBFabric& f) {
  std::vector<uint32_t> out;
  for (const IBPort& p : f.ports()) out.push_back(p.owner->isSwitch() ? p.flowCount : 0);
  return out;
}

std::vector<std::pair<uint16_t, std::string>> ordered(const reference::FreeDsts& m) {
  return {m.lids.begin(), m.lids.end()};
}

std::string nameOf(const IBPort* port) {
  return port ? port->getName() : std::string("-");
}

RandomFabricParams randomParams(std::mt19937& rng) {
  RandomFabricParams prm;
  prm.switches = 1 + rng() % 8;
  prm.hosts = 2 + rng() % 24;
  prm.extraLinks = rng() % 6;
  // Enough ports for the links and hosts, with a few spare.
  prm.portsPerSwitch = std::max(3u, portsForLinks(prm, 1)) + rng() % 4;
  prm.groups = 1 + rng() % 5;
  prm.lmc = static_cast<uint16_t>(rng() % 3);
  prm.privateTables = rng() % 2;
  prm.unlinkedHosts = rng() % 20 == 0 ? 1 : 0;
  prm.scrambledEntries = rng() % 4 == 0 ? rng() % 10 : 0;
  return prm;
}

PairingOptions randomOptions(std::mt19937& rng, uint16_t lmc) {
  PairingOptions o;
  o.maxFlowsPerLink = rng() % 20 == 0 ? 0 : 1 + rng() % 3;
  o.minDist = rng() % 3 == 0 ? rng() % 6 : 0;
  o.maxGroupSrcs = rng() % 3 == 0 ? rng() % 4 : 0;
  o.lmc = rng() % 10 == 0 ? static_cast<uint16_t>(rng() % 3) : lmc;
  return o;
}

// Runs both pairing runs from the same rand() state on twin fabrics and
// compares everything they produce; returns the console.
std::string compareRuns(const std::string& tag, TestFabric& fast, TestFabric& lit,
                        PairingOptions options, bool trace,
                        PortGroups (*grouping)(const IBFabric&) = nullptr) {
  // One file per test: ctest runs the tests of this binary side by side.
  options.outFile = testPath("pairs");
  PortGroups fastGroups = grouping ? grouping(*fast.fabric) : groupsOf(fast);
  PortGroups litGroups = grouping ? grouping(*lit.fabric) : groupsOf(lit);
  // Scribble on the counters: the run must start from zero anyway.
  for (IBPort& p : fast.fabric->ports()) p.flowCount = 7;
  options.trace = trace;
  std::srand(1);
  testing::internal::CaptureStdout();
  int status = runPairing(*fast.fabric, fastGroups, options);
  std::string console = testing::internal::GetCapturedStdout();
  std::srand(1);
  reference::RunResult expected = reference::runPairing(*lit.fabric, litGroups, options);
  EXPECT_EQ(status, expected.status) << tag;
  EXPECT_EQ(console, expected.console) << tag;
  EXPECT_EQ(readTestFile(options.outFile), expected.file) << tag;
  EXPECT_EQ(counters(*fast.fabric), counters(*lit.fabric)) << tag;
  return console;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(SearchDiff, RandomFabricsWholeRun) {
  std::mt19937 rng(12345);
  for (int i = 0; i < 300; ++i) {
    RandomFabricParams prm = randomParams(rng);
    PairingOptions options = randomOptions(rng, prm.lmc);
    uint32_t seed = rng();
    TestFabric fast = makeRandomFabric(prm, seed), lit = makeRandomFabric(prm, seed);
    compareRuns("random case " + std::to_string(i), fast, lit, options, i % 10 == 0);
  }
}

// fabricgen's trees, with private tables, LMC, the faults it can plant,
// shuffled LIDs and minimum distances that refuse some or all destinations;
// min-hop routed over shuffled LIDs, where many sources find nothing.
TEST(SearchDiff, FabricgenTreesWholeRun) {
  struct Case {
    int levels, radix;
    uint16_t lmc;
    bool privateTables, loop, wrongHost, missingEntry;
    uint32_t maxFlows;
    bool shuffled = false;
    uint32_t minDist = 0;
    bool minHop = false;
  };
  const Case cases[] = {
      {2, 8, 0, false, false, false, false, 1},
      {2, 8, 1, true, false, false, false, 1},
      {2, 10, 2, false, false, false, false, 2},
      {3, 6, 0, true, false, false, false, 1},
      {3, 8, 0, false, false, false, false, 1},
      {3, 6, 1, true, false, false, false, 2},
      {2, 8, 0, false, true, false, false, 1},
      {2, 8, 0, false, false, true, false, 1},
      {2, 8, 0, false, false, false, true, 1},
      {3, 6, 0, true, true, true, false, 2},
      {3, 8, 0, false, false, false, false, 1, true},
      {3, 6, 1, true, false, false, false, 2, true, 5},
      {3, 8, 0, false, false, false, false, 1, true, 6},
      {3, 6, 0, true, true, false, false, 1, true, 7},
      {2, 8, 1, false, false, true, false, 1, true, 3},
      {3, 8, 0, false, false, false, false, 1, true, 0, true},
      {3, 8, 1, true, false, false, false, 2, true, 0, true},
      {3, 6, 2, false, false, true, false, 3, true, 0, true},
      {3, 8, 0, false, true, false, false, 1, true, 0, true},
      {3, 8, 1, false, false, false, false, 2, true, 5, true},
      {2, 10, 0, false, false, false, false, 1, true, 3, true},
  };
  int i = 0;
  size_t minHopUnpaired = 0;
  for (const Case& c : cases) {
    const std::string tag = "fabricgen case " + std::to_string(i++);
    GenOptions gen;
    gen.levels = c.levels;
    gen.radix = c.radix;
    gen.lmc = c.lmc;
    gen.privateTables = c.privateTables;
    gen.faultLoop = c.loop;
    gen.faultWrongHost = c.wrongHost;
    gen.faultMissingEntry = c.missingEntry;
    gen.shuffled = c.shuffled;
    gen.shuffleSeed = static_cast<uint32_t>(i);
    if (c.minHop) gen.routing = GenOptions::Routing::kMinHop;
    TestFabric fast, lit;
    *fast.fabric = generatedFabric(gen);
    *lit.fabric = generatedFabric(gen);
    PairingOptions options;
    options.lmc = c.lmc;
    options.maxFlowsPerLink = c.maxFlows;
    options.minDist = c.minDist;
    const std::string console = compareRuns(tag, fast, lit, options, i == 7, &groupsByRack);
    if (c.minHop && c.minDist == 0) minHopUnpaired += count(console, "-W- Could not find dst");
  }
  // Otherwise the cases above would not test failing searches at all.
  EXPECT_GT(minHopUnpaired, 0u);
}

// Source by source, in an order of the test's own choosing, with the free
// LIDs and counters compared after every search.
TEST(SearchDiff, RandomFabricsStepByStep) {
  std::mt19937 rng(777);
  for (int i = 0; i < 200; ++i) {
    RandomFabricParams prm = randomParams(rng);
    PairingOptions options = randomOptions(rng, prm.lmc);
    uint32_t seed = rng();
    TestFabric fast = makeRandomFabric(prm, seed), lit = makeRandomFabric(prm, seed);
    const std::string tag = "step case " + std::to_string(i);

    LidGroupMap lidMap;
    reference::FreeDsts litMap;
    std::string err, litErr;
    ASSERT_TRUE(buildLidGroupMap(groupsOf(fast), options.lmc, lidMap, &err)) << tag << err;
    ASSERT_TRUE(reference::buildLidGroupMap(groupsOf(lit), options.lmc, litMap, &litErr)) << tag;
    ASSERT_EQ(lidMap.ordered(), ordered(litMap)) << tag;
    clearSwitchPortCounters(*fast.fabric);
    reference::clearSwitchPortCounters(*lit.fabric);

    std::vector<size_t> order(fast.hosts.size());
    for (size_t h = 0; h < order.size(); ++h) order[h] = h;
    std::shuffle(order.begin(), order.end(), rng);
    SearchContext ctx(*fast.fabric);
    const SearchLimits limits{options.maxFlowsPerLink, options.lmc, options.minDist};
    reference::Walk walk;
    for (size_t h : order) {
      const std::string group = numbered("g", static_cast<unsigned long>(fast.hostGroup[h]));
      DstSearchResult got = findDstForSrc(ctx, group, *fast.hosts[h], lidMap, limits);
      litErr.clear();
      IBPort* want =
          reference::findDstForSrc(group, lit.hosts[h], litMap,
                                   {limits.maxFlows, limits.lmc, limits.minDist}, walk, &litErr);
      ASSERT_EQ(got.error, litErr) << tag;
      if (!litErr.empty()) break;
      ASSERT_EQ(nameOf(got.dst), nameOf(want)) << tag;
      ASSERT_EQ(lidMap.ordered(), ordered(litMap)) << tag;
      ASSERT_EQ(lidMap.size(), litMap.lids.size()) << tag;
      ASSERT_EQ(counters(*fast.fabric), counters(*lit.fabric)) << tag;
    }
  }
}

}  // namespace
