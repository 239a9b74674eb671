#include "fabric/routing/route_walk.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "fabric/routing/route_check.h"
#include "testing/test_fabrics.h"
#include "testing/test_files.h"

namespace {

NodeDecl sw(const char* name, uint8_t ports) {
  return {IB_SW_NODE, name, "", 0, 0, ports, 0};
}
NodeDecl ca(const char* name, uint8_t ports) {
  return {IB_CA_NODE, name, "", 0, 0, ports, 0};
}

// h1 - sw1 = sw2 - h2 (two cables between the switches), h3 cabled to h4.
struct Small {
  IBFabric f;
  Small() {
    EXPECT_EQ(f.createNodes(
                  {sw("sw1", 4), sw("sw2", 4), ca("h1", 1), ca("h2", 1), ca("h3", 1), ca("h4", 1)}),
              0);
    IBFabric::link(port("h1", 1), port("sw1", 1));
    IBFabric::link(port("sw1", 3), port("sw2", 3));
    IBFabric::link(port("sw1", 4), port("sw2", 4));
    IBFabric::link(port("h2", 1), port("sw2", 1));
    IBFabric::link(port("h3", 1), port("h4", 1));
    port("h1", 1)->baseLid = 1;
    port("h2", 1)->baseLid = 2;
    f.getNode("sw1")->setLFTPortForLid(2, 3, 0);
    f.getNode("sw2")->setLFTPortForLid(2, 1, 0);
  }
  IBPort* port(const char* n, unsigned p) { return f.getPort(n, p); }
};

std::vector<std::string> names(const std::vector<const IBPort*>& ports) {
  std::vector<std::string> out;
  for (const IBPort* p : ports) out.push_back(p->getName());
  return out;
}

TEST(RouteWalk, OutcomesAndPaths) {
  Small s;
  RouteWalker walker(s.f);
  std::vector<const IBPort*> path;
  const IBPort& h1 = *s.port("h1", 1);
  const IBPort& h2 = *s.port("h2", 1);

  RouteWalk w = walker.walk(h1, 2, &path);
  EXPECT_TRUE(w.arrivedAt(h2));
  EXPECT_EQ(names(path), (std::vector<std::string>{"sw1/P3", "sw2/P1"}));
  EXPECT_EQ(describeRouteWalk(w, h1, h2), "");

  // Packets entering sw2 through port 3 use table 1; table 0 would send them
  // back to sw1.
  IBNode* sw2 = s.f.getNode("sw2");
  sw2->ingressTable = {0, 0, 0, 1, 0};
  sw2->setLFTPortForLid(2, 4, 0);
  sw2->setLFTPortForLid(2, 1, 1);
  EXPECT_TRUE(walker.walk(h1, 2, &path).arrivedAt(h2));
  // Now table 1 sends them back, into sw1 by table 0 again: a loop.
  sw2->setLFTPortForLid(2, 4, 1);
  w = walker.walk(h1, 2, &path);
  EXPECT_EQ(w.end, RouteEnd::kLoop);
  EXPECT_EQ(describeRouteWalk(w, h1, h2),
            "stopped at sw2/P4 table 1: loop, enters sw1/P4 table 0 again");
  EXPECT_EQ(names(path), (std::vector<std::string>{"sw1/P3", "sw2/P4"}));
  sw2->ingressTable.clear();

  // The walker's scratch state is clean after a loop: a good route walks again.
  sw2->setLFTPortForLid(2, 1, 0);
  EXPECT_TRUE(walker.walk(h1, 2, &path).arrivedAt(h2));

  struct Case {
    const char* what;
    uint8_t sw2Entry;
    const char* text;
  } cases[] = {
      {"no entry", kLftNoEntry, "stopped at sw2 table 0: no forwarding entry"},
      {"port 0", 0, "stopped at sw2 table 0: delivered to the switch itself"},
      {"past the ports", 9, "stopped at sw2 table 0: egress port 9 does not exist"},
      {"not cabled", 2, "stopped at sw2/P2 table 0: port has no link"},
  };
  for (const Case& c : cases) {
    sw2->setLFTPortForLid(2, c.sw2Entry, 0);
    w = walker.walk(h1, 2, &path);
    EXPECT_EQ(describeRouteWalk(w, h1, h2), c.text) << c.what;
  }

  const IBPort& h3 = *s.port("h3", 1);
  w = walker.walk(h3, 7, &path);
  EXPECT_TRUE(w.arrivedAt(*s.port("h4", 1)));
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(describeRouteWalk(w, h3, h2), "stopped at h3/P1: cabled to h4/P1");
  EXPECT_EQ(walker.walk(*s.port("h2", 1), 1).end, RouteEnd::kNoEntry);
}

// The walker and the route check agree on which routes break, and on why
// wherever the reason does not depend on the order the check evaluates states.
TEST(RouteWalk, AgreesWithRouteCheck) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    RandomFabricParams prm;
    prm.switches = 6;
    prm.hosts = 14;
    prm.privateTables = seed % 2 == 0;
    prm.unlinkedHosts = 1;
    prm.scrambledEntries = 8;
    TestFabric t = makeRandomFabric(prm, seed);
    IBFabric& f = *t.fabric;
    std::string report = testPath("report" + std::to_string(seed));
    testing::internal::CaptureStderr();
    SubnMgtVerifyAllCaToCaRoutes(f, report.c_str());
    testing::internal::GetCapturedStderr();
    std::set<std::string> expected;
    for (std::string line : splitLines(readTestFile(report))) {
      if (line.find(": loop") != std::string::npos) line.resize(line.find(": loop") + 6);
      expected.insert(line);
    }

    std::set<std::string> walked;
    RouteWalker walker(f);
    std::vector<const IBPort*> hosts;
    for (const IBPort& p : f.ports())
      if (!p.owner->isSwitch() && p.remote && p.baseLid != 0) hosts.push_back(&p);
    for (const IBPort* src : hosts) {
      for (const IBPort* dst : hosts) {
        if (src == dst) continue;
        RouteWalk w = walker.walk(*src, dst->baseLid);
        std::string why = describeRouteWalk(w, *src, *dst);
        if (why.empty()) continue;
        if (w.end == RouteEnd::kLoop) why.resize(why.find(": loop") + 6);
        walked.insert("-E- Missing route from " + src->getName() + " to " + dst->getName() +
                      " lid " + std::to_string(dst->baseLid) + ": " + why);
      }
    }
    EXPECT_EQ(walked, expected) << "seed " << seed;
    EXPECT_FALSE(expected.empty()) << "seed " << seed;
  }
}

}  // namespace
