// What every pairs file must satisfy, checked by walking each pair's path
// through the forwarding tables afresh, independently of the search.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "search/pairing.h"
#include "testing/generated_fabric.h"
#include "testing/test_fabrics.h"
#include "testing/test_files.h"

namespace {

struct Checked {
  size_t pairs = 0;
  std::string problem;  // empty when every guarantee holds
};

Checked checkPairsFile(IBFabric& fabric, const PortGroups& groups, const PairingOptions& options) {
  Checked c;
  std::map<std::string, IBPort*> portByName;
  std::map<IBPort*, std::string> groupOf;
  for (const auto& [name, ports] : groups) {
    for (IBPort* p : ports) {
      portByName[p->getName()] = p;
      groupOf[p] = name;
    }
  }
  std::ifstream in(options.outFile);
  std::string line;
  for (int i = 0; i < 5; ++i) std::getline(in, line);
  std::map<IBPort*, uint32_t> load;  // switch egress port -> pairs through it
  std::map<IBPort*, int> received;
  while (std::getline(in, line)) {
    ++c.pairs;
    std::istringstream fields(line);
    std::string srcName, dstName;
    fields >> srcName >> dstName;
    IBPort* src = portByName[srcName];
    IBPort* dst = portByName[dstName];
    if (!src || !dst) return {c.pairs, "unknown port in: " + line};
    if (groupOf[src] == groupOf[dst]) return {c.pairs, "same group: " + line};
    if (received[dst]++) return {c.pairs, "received twice: " + dstName};
    // The path to the destination's (only) LID, table by table.
    IBPort* at = src->remote;
    uint32_t hops = 1;
    while (at && at->owner->isSwitch()) {
      if (hops > 64) return {c.pairs, "no end to the path of: " + line};
      uint8_t table = at->owner->tableForIngress(at->portNumber);
      IBPort* out = at->owner->getPort(at->owner->getLFTPortForLid(dst->baseLid, table));
      if (!out) return {c.pairs, "path leaves the tables for: " + line};
      if (++load[out] > options.maxFlowsPerLink) return {c.pairs, "overloaded by: " + line};
      at = out->remote;
      ++hops;
    }
    if (at != dst) return {c.pairs, "path ends elsewhere for: " + line};
    if (hops < options.minDist) return {c.pairs, "too short: " + line};
  }
  // The counters the search left are exactly the recomputed loads.
  for (IBPort& p : fabric.ports()) {
    if (p.owner->isSwitch() && p.flowCount != load[&p]) {
      return {c.pairs, "counter differs on " + p.getName()};
    }
  }
  return c;
}

TEST(PairsGuarantees, FabricgenTrees) {
  struct Case {
    int levels, radix;
    bool privateTables;
    uint32_t maxFlows, minDist;
  };
  const Case cases[] = {{2, 8, false, 1, 0}, {2, 12, true, 1, 0}, {2, 8, false, 2, 3},
                        {3, 6, false, 1, 0}, {3, 8, true, 1, 0},  {3, 8, false, 2, 5},
                        {3, 6, true, 3, 4}};
  for (const Case& c : cases) {
    const std::string tag = "levels " + std::to_string(c.levels) + " radix " +
                            std::to_string(c.radix) + (c.privateTables ? " private" : "") + " n " +
                            std::to_string(c.maxFlows) + " d " + std::to_string(c.minDist);
    GenOptions gen;
    gen.levels = c.levels;
    gen.radix = c.radix;
    gen.privateTables = c.privateTables;
    IBFabric fabric = generatedFabric(gen);
    PortGroups groups = groupsByRack(fabric);
    PairingOptions options;
    options.outFile = testPath("pairs");
    options.maxFlowsPerLink = c.maxFlows;
    options.minDist = c.minDist;
    testing::internal::CaptureStdout();
    int status = runPairing(fabric, groups, options);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, 0) << tag;
    Checked checked = checkPairsFile(fabric, groups, options);
    EXPECT_EQ(checked.problem, "") << tag;
    EXPECT_GT(checked.pairs, 0u) << tag;
  }
}

TEST(PairsGuarantees, RandomFabrics) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    RandomFabricParams prm;
    prm.switches = 2 + seed % 7;
    prm.hosts = 6 + seed % 20;
    prm.extraLinks = seed % 5;
    prm.portsPerSwitch = portsForLinks(prm, 2);
    prm.groups = 2 + seed % 3;
    prm.privateTables = seed % 2;
    TestFabric t = makeRandomFabric(prm, seed);
    PortGroups groups = groupsOf(t);
    PairingOptions options;
    options.outFile = testPath("pairs");
    options.maxFlowsPerLink = 1 + seed % 3;
    options.minDist = seed % 4 == 0 ? 4 : 0;
    testing::internal::CaptureStdout();
    int status = runPairing(*t.fabric, groups, options);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, 0) << "seed " << seed;
    EXPECT_EQ(checkPairsFile(*t.fabric, groups, options).problem, "") << "seed " << seed;
  }
}

}  // namespace
