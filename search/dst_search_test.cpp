#include "search/dst_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/test_fabrics.h"

namespace {

// Two switches joined by two cables (port 1 to 1, port 2 to 2):
//   sw1: P3 a1 (LID 1), P4 a2 (2), P5 c1 (3)
//   sw2: P3 b1 (4), P4 b2 (5), P5 b3 (6)
// sw1 sends b1 and b3 up port 1 and b2 up port 2; sw2 sends A and C up port 1.
SmallFabric twoSwitches() {
  SmallFabric f({{"sw1", true, 6},
                 {"sw2", true, 6},
                 {"a1", false, 1},
                 {"a2", false, 1},
                 {"c1", false, 1},
                 {"b1", false, 1},
                 {"b2", false, 1},
                 {"b3", false, 1}});
  f.link("sw1", 1, "sw2", 1);
  f.link("sw1", 2, "sw2", 2);
  const char* hosts[] = {"a1", "a2", "c1", "b1", "b2", "b3"};
  for (uint16_t i = 0; i < 6; ++i) {
    f.link(hosts[i], 1, i < 3 ? "sw1" : "sw2", 3 + i % 3);
    f.lid(hosts[i], static_cast<uint16_t>(i + 1));
  }
  const uint8_t sw1[] = {0, 3, 4, 5, 1, 2, 1};
  const uint8_t sw2[] = {0, 1, 1, 1, 3, 4, 5};
  for (uint16_t lid = 1; lid <= 6; ++lid) {
    f.route("sw1", lid, sw1[lid]);
    f.route("sw2", lid, sw2[lid]);
  }
  return f;
}

PortGroups twoSwitchGroups(SmallFabric& f) {
  return {{"A", {f.host("a1"), f.host("a2")}},
          {"B", {f.host("b1"), f.host("b2"), f.host("b3")}},
          {"C", {f.host("c1")}}};
}

// A fabric, its LID map and a search context, ready for searches.
struct Searcher {
  Searcher(SmallFabric& f, const PortGroups& groups, SearchLimits lim)
      : fabric(f), ctx(f.fabric), limits(lim) {
    std::string err;
    EXPECT_TRUE(buildLidGroupMap(groups, limits.lmc, lidMap, &err)) << err;
    clearSwitchPortCounters(f.fabric);
  }
  // Destination name, "-" for none, or the error line.
  std::string find(const std::string& group, const std::string& src) {
    DstSearchResult r = findDstForSrc(ctx, group, *fabric.host(src), lidMap, limits);
    if (!r.error.empty()) return r.error;
    return r.dst ? r.dst->owner->nodeName : "-";
  }
  std::vector<uint32_t> counters() const {
    std::vector<uint32_t> out;
    for (const IBPort& p : fabric.fabric.ports()) out.push_back(p.flowCount);
    return out;
  }

  SmallFabric& fabric;
  LidGroupMap lidMap;
  SearchContext ctx;
  SearchLimits limits;
};

TEST(FindDstForSrc, FollowsTablesAndBooksThePathOnly) {
  SmallFabric f = twoSwitches();
  Searcher s(f, twoSwitchGroups(f), {1, 0, 0});
  // sw1 tries port 1 first (all at 0): b1 and b3 remain, sw2 delivers b1.
  EXPECT_EQ(s.find("A", "a1"), "b1");
  EXPECT_EQ(f.flows("sw1", 1), 1u);
  EXPECT_EQ(f.flows("sw2", 3), 1u);
  EXPECT_EQ(f.flows("sw1", 2) + f.flows("sw2", 1) + f.flows("sw1", 3), 0u);
  EXPECT_FALSE(s.lidMap.contains(4));
  EXPECT_EQ(s.lidMap.size(), 5u);
}

TEST(FindDstForSrc, EqualCountsByPortNumberThenLeastLoadedFirst) {
  SmallFabric f = twoSwitches();
  Searcher s(f, twoSwitchGroups(f), {2, 0, 0});
  EXPECT_EQ(s.find("A", "a1"), "b1");
  // sw1 port 1 now carries a flow: port 2 (count 0) comes first and leads to b2,
  // though port 1 could still take b3.
  EXPECT_EQ(s.find("A", "a2"), "b2");
  EXPECT_EQ(f.flows("sw1", 1), 1u);
  EXPECT_EQ(f.flows("sw1", 2), 1u);
  // The idle host ports now come before both loaded up ports: a1 on port 3.
  EXPECT_EQ(s.find("C", "c1"), "a1");
  EXPECT_EQ(f.flows("sw1", 3), 1u);
}

TEST(FindDstForSrc, FullPortsAreSkippedAndFailuresChangeNothing) {
  SmallFabric f = twoSwitches();
  Searcher s(f, twoSwitchGroups(f), {1, 0, 0});
  EXPECT_EQ(s.find("A", "a1"), "b1");
  EXPECT_EQ(s.find("A", "a2"), "b2");  // port 1 is full
  EXPECT_EQ(s.find("C", "c1"), "a1");
  std::vector<uint32_t> before = s.counters();
  EXPECT_EQ(s.find("B", "b1"), "a2");  // up sw2 port 1, down sw1 port 4
  EXPECT_NE(s.counters(), before);
  // c1 is left for b2, but sw2 port 1, its only way there, is full.
  before = s.counters();
  size_t freeBefore = s.lidMap.size();
  EXPECT_EQ(s.find("B", "b2"), "-");
  EXPECT_EQ(s.counters(), before);
  EXPECT_EQ(s.lidMap.size(), freeBefore);
}

TEST(FindDstForSrc, NothingToFind) {
  struct Case {
    const char* name;
    uint32_t maxFlows;
    PortGroups (*groups)(SmallFabric&);
  };
  const Case cases[] = {
      {"maxFlows 0", 0, twoSwitchGroups},
      {"one group", 1,
       [](SmallFabric& f) -> PortGroups {
         return {{"all", {f.host("a1"), f.host("a2"), f.host("b1"), f.host("c1")}}};
       }},
  };
  for (const Case& c : cases) {
    SmallFabric f = twoSwitches();
    Searcher s(f, c.groups(f), {c.maxFlows, 0, 0});
    const size_t freeBefore = s.lidMap.size();
    const char* sources[] = {"a1", "a2", "b1", "c1"};
    for (const char* src : sources) EXPECT_EQ(s.find(c.maxFlows ? "all" : "A", src), "-") << c.name;
    EXPECT_EQ(s.lidMap.size(), freeBefore) << c.name;
    for (uint32_t n : s.counters()) EXPECT_EQ(n, 0u) << c.name;
  }
}

// sw1: P1 x1, P2 y1, P3 up to sw2; sw2: P1 down, P2 y2.
SmallFabric nearAndFar() {
  SmallFabric f(
      {{"sw1", true, 3}, {"sw2", true, 2}, {"x1", false, 1}, {"y1", false, 1}, {"y2", false, 1}});
  f.link("x1", 1, "sw1", 1);
  f.link("y1", 1, "sw1", 2);
  f.link("sw1", 3, "sw2", 1);
  f.link("y2", 1, "sw2", 2);
  f.lid("x1", 1);
  f.lid("y1", 2);
  f.lid("y2", 3);
  const uint8_t sw1[] = {0, 1, 2, 3}, sw2[] = {0, 1, 1, 2};
  for (uint16_t lid = 1; lid <= 3; ++lid) {
    f.route("sw1", lid, sw1[lid]);
    f.route("sw2", lid, sw2[lid]);
  }
  return f;
}

TEST(FindDstForSrc, MinDistCountsLinksFromTheSource) {
  struct Case {
    uint32_t minDist;
    const char* dst;
  };
  // y1 on the source's own switch is 2 links away, y2 behind sw2 is 3.
  const Case cases[] = {{0, "y1"}, {1, "y1"}, {2, "y1"}, {3, "y2"}, {4, "-"}};
  for (const Case& c : cases) {
    SmallFabric f = nearAndFar();
    Searcher s(f, {{"X", {f.host("x1")}}, {"Y", {f.host("y1"), f.host("y2")}}}, {1, 0, c.minDist});
    EXPECT_EQ(s.find("X", "x1"), c.dst) << "minDist " << c.minDist;
    if (c.minDist == 3) {
      EXPECT_TRUE(s.lidMap.contains(2)) << "refused y1 stays free";
      EXPECT_EQ(f.flows("sw1", 2), 0u);
      EXPECT_EQ(f.flows("sw1", 3), 1u);
    }
  }
}

TEST(FindDstForSrc, SourcesThatEndTheRun) {
  SmallFabric f(
      {{"sw", true, 2}, {"h1", false, 1}, {"h2", false, 1}, {"h3", false, 1}, {"h4", false, 1}});
  f.link("h1", 1, "h2", 1);
  f.link("h4", 1, "sw", 1);
  for (uint16_t i = 1; i <= 4; ++i) f.lid(numbered("h", i), i);
  Searcher s(f, {{"A", {f.host("h1"), f.host("h3")}}, {"B", {f.host("h2"), f.host("h4")}}},
             {1, 0, 0});
  EXPECT_EQ(s.find("A", "h3"), "-E- No remote port for src: h3/P1");
  EXPECT_EQ(s.find("A", "h1"), "-E- Remote node is not a switch for src: h1/P1");
  EXPECT_EQ(s.lidMap.size(), 4u);
}

// sw1 (P1, P2 up to sw2's P1, P2; P3 a; P4 b on sw2's P3).
SmallFabric twoPaths() {
  SmallFabric f({{"sw1", true, 3}, {"sw2", true, 3}, {"a", false, 1}, {"b", false, 1}});
  f.link("sw1", 1, "sw2", 1);
  f.link("sw1", 2, "sw2", 2);
  f.link("a", 1, "sw1", 3);
  f.link("b", 1, "sw2", 3);
  f.lid("a", 1);
  f.lid("b", 2);
  f.route("sw1", 1, 3);
  f.route("sw2", 1, 1);
  f.route("sw1", 2, 1);
  f.route("sw2", 2, 3);
  return f;
}

TEST(FindDstForSrc, SwitchesUseTheTableOfTheIngressPort) {
  {
    SmallFabric f = twoPaths();
    f.ingress("sw1", 3, 1);  // from a: table 1, which sends b up port 2
    f.route("sw1", 2, 2, 1);
    f.ingress("sw2", 2, 1);  // entering sw2 on port 2: table 1
    f.route("sw2", 2, 3, 1);
    Searcher s(f, {{"A", {f.host("a")}}, {"B", {f.host("b")}}}, {1, 0, 0});
    EXPECT_EQ(s.find("A", "a"), "b");
    EXPECT_EQ(f.flows("sw1", 2), 1u);
    EXPECT_EQ(f.flows("sw1", 1), 0u);
  }
  {
    // Table 1 of sw2 has no entry for b: the walk entering through port 2
    // finds nothing although table 0 would deliver it.
    SmallFabric f = twoPaths();
    f.ingress("sw1", 3, 1);
    f.route("sw1", 2, 2, 1);
    f.ingress("sw2", 2, 1);
    Searcher s(f, {{"A", {f.host("a")}}, {"B", {f.host("b")}}}, {1, 0, 0});
    EXPECT_EQ(s.find("A", "a"), "-");
  }
}

TEST(FindDstForSrc, ForwardingLoopsFindNothingAndEnd) {
  {
    SmallFabric f = twoPaths();
    f.route("sw2", 2, 1);  // b bounces between sw1 and sw2
    Searcher s(f, {{"A", {f.host("a")}}, {"B", {f.host("b")}}}, {1, 0, 0});
    s.ctx.trace = true;
    testing::internal::CaptureStdout();
    std::string dst = s.find("A", "a");
    std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(dst, "-");
    EXPECT_EQ(trace,
              "-V- dfsAndGetFreeDstPath inPort:sw1/P3 num-dsts:1\n"
              "-V- dfsAndGetFreeDstPath inPort:sw2/P1 num-dsts:1\n"
              "-V- dfsAndGetFreeDstPath inPort:sw1/P1 num-dsts:1\n");
    EXPECT_TRUE(s.lidMap.contains(2));
  }
  {
    // Back at sw1 but through a port mapped to another table: a new state,
    // which delivers b through the second cable.
    SmallFabric f = twoPaths();
    f.route("sw2", 2, 1);
    f.ingress("sw1", 1, 1);
    f.route("sw1", 2, 2, 1);
    f.ingress("sw2", 2, 1);
    f.route("sw2", 2, 3, 1);
    Searcher s(f, {{"A", {f.host("a")}}, {"B", {f.host("b")}}}, {1, 0, 0});
    EXPECT_EQ(s.find("A", "a"), "b");
    EXPECT_EQ(f.flows("sw1", 1), 1u);
    EXPECT_EQ(f.flows("sw2", 1), 1u);
    EXPECT_EQ(f.flows("sw1", 2), 1u);
    EXPECT_EQ(f.flows("sw2", 3), 1u);
  }
}

TEST(FindDstForSrc, HostOwningNoneOfTheCarriedLidsIsNoDestination) {
  SmallFabric f = twoSwitches();
  f.route("sw2", 4, 4);  // b1's LID delivered to b2
  Searcher s(f, {{"A", {f.host("a1")}}, {"B", {f.host("b1"), f.host("b3")}}}, {1, 0, 0});
  // b2 is not grouped, so the walk carrying LID 4 to it must not stop there;
  // sw1 port 1 still leads to b3.
  EXPECT_EQ(s.find("A", "a1"), "b3");
  EXPECT_EQ(f.flows("sw2", 4), 0u);
  EXPECT_TRUE(s.lidMap.contains(4));
  EXPECT_FALSE(s.lidMap.contains(6));
}

TEST(FindDstForSrc, LmcRemovesEveryLidOfTheDestination) {
  SmallFabric f = nearAndFar();
  f.lid("x1", 4);
  f.lid("y1", 8);
  f.lid("y2", 12);
  for (uint16_t k = 0; k < 4; ++k) {
    f.route("sw1", 4 + k, 1);
    f.route("sw1", 8 + k, 2);
    f.route("sw1", 12 + k, 3);
    f.route("sw2", 12 + k, 2);
  }
  f.route("sw1", 9, 3);  // one of y1's LIDs goes the wrong way: ignored, y1 still found
  Searcher s(f, {{"X", {f.host("x1")}}, {"Y", {f.host("y1"), f.host("y2")}}}, {1, 2, 0});
  EXPECT_EQ(s.lidMap.size(), 12u);
  EXPECT_EQ(s.find("X", "x1"), "y1");
  EXPECT_EQ(s.lidMap.size(), 8u);
  for (uint16_t k = 0; k < 4; ++k) EXPECT_FALSE(s.lidMap.contains(8 + k)) << k;
}

// With an LMC above the fabric's, LID ranges overlap: here a1's range (3, 4)
// and b1's (2, 3), whose later group owns LID 3, which the switch delivers to
// a1. A walk from group A carries LID 3 back to a1: neither a1 itself nor a2
// of its group may take it.
TEST(FindDstForSrc, OverlappingRangesNeverPairASourceWithItselfOrItsGroup) {
  for (const char* src : {"a1", "a2"}) {
    SmallFabric f({{"sw", true, 3}, {"a1", false, 1}, {"a2", false, 1}, {"b1", false, 1}});
    f.link("a1", 1, "sw", 1);
    f.link("a2", 1, "sw", 2);
    f.link("b1", 1, "sw", 3);
    f.lid("a1", 3);
    f.lid("a2", 7);
    f.lid("b1", 2);
    f.route("sw", 3, 1);
    f.route("sw", 7, 2);
    f.route("sw", 2, 3);
    Searcher s(f, {{"A", {f.host("a1"), f.host("a2")}}, {"B", {f.host("b1")}}}, {1, 1, 0});
    EXPECT_EQ(s.find("A", src), "b1") << src;
    EXPECT_EQ(f.flows("sw", 1), 0u) << src;
  }
}

// 255 in a table means "no entry", never port 255: c, cabled to port 255, is
// not reached by its LID that the switch has no entry for.
TEST(FindDstForSrc, NoEntryIsNoEgressPort) {
  SmallFabric f({{"sw", true, 255}, {"a", false, 1}, {"c", false, 1}});
  f.link("a", 1, "sw", 1);
  f.link("c", 1, "sw", 255);
  f.lid("a", 1);
  f.lid("c", 3);
  f.route("sw", 1, 1);
  f.route("sw", 3, kLftNoEntry);
  Searcher s(f, {{"A", {f.host("a")}}, {"C", {f.host("c")}}}, {1, 0, 0});
  EXPECT_EQ(s.find("A", "a"), "-");
  EXPECT_EQ(f.flows("sw", 255), 0u);
}

// Paths far longer than a call stack could take with one frame per hop.
TEST(FindDstForSrc, VeryLongPaths) {
  {
    // A line of switches, a on the first and b on the last.
    const unsigned kSwitches = 8500;
    std::vector<SmallFabric::Node> nodes;
    for (unsigned i = 0; i < kSwitches; ++i) nodes.push_back({numbered("sw", i), true, 3});
    nodes.push_back({"a", false, 1});
    nodes.push_back({"b", false, 1});
    SmallFabric f(nodes);
    const std::string last = numbered("sw", kSwitches - 1);
    f.link("a", 1, "sw0", 3);
    f.link("b", 1, last, 3);
    f.lid("a", 1);
    f.lid("b", 2);
    for (unsigned i = 0; i < kSwitches; ++i) {
      const std::string sw = numbered("sw", i);
      if (i + 1 < kSwitches) f.link(sw, 2, numbered("sw", i + 1), 1);
      f.route(sw, 1, i == 0 ? 3 : 1);
      f.route(sw, 2, i + 1 < kSwitches ? 2 : 3);
    }
    const PortGroups groups{{"A", {f.host("a")}}, {"B", {f.host("b")}}};
    // b is kSwitches + 1 links from a.
    Searcher far(f, groups, {1, 0, kSwitches + 2});
    EXPECT_EQ(far.find("A", "a"), "-");
    Searcher s(f, groups, {1, 0, kSwitches + 1});
    EXPECT_EQ(s.find("A", "a"), "b");
    EXPECT_EQ(f.flows(last, 3), 1u);
    EXPECT_EQ(f.flows("sw0", 2), 1u);
  }
  {
    // A ring of switches joined by 16 parallel cables, the k-th entering the
    // next switch on port k, which uses table k - 1. Every switch but sw0
    // sends b's LID on in the table it arrived with; sw0 moves it to the next
    // table, so the walk goes round the ring once per table before sw0
    // delivers it to b from table 15.
    const unsigned kSwitches = 600, kTables = 16;
    std::vector<SmallFabric::Node> nodes;
    for (unsigned i = 0; i < kSwitches; ++i) nodes.push_back({numbered("sw", i), true, 34});
    nodes.push_back({"a", false, 1});
    nodes.push_back({"b", false, 1});
    SmallFabric f(nodes);
    f.link("a", 1, "sw0", 33);
    f.link("b", 1, "sw0", 34);
    f.lid("a", 1);
    f.lid("b", 2);
    for (unsigned i = 0; i < kSwitches; ++i) {
      const std::string sw = numbered("sw", i);
      for (uint8_t t = 0; t < kTables; ++t) {
        f.link(sw, 17u + t, numbered("sw", (i + 1) % kSwitches), 1u + t);
        f.ingress(sw, 1u + t, t);
        const unsigned out = i != 0 ? 17u + t : t + 1u < kTables ? 18u + t : 34u;
        f.route(sw, 2, static_cast<uint8_t>(out), t);
      }
    }
    Searcher s(f, {{"A", {f.host("a")}}, {"B", {f.host("b")}}}, {1, 0, 0});
    EXPECT_EQ(s.find("A", "a"), "b");
    EXPECT_EQ(f.flows("sw0", 34), 1u);
    EXPECT_EQ(f.flows("sw1", 32), 1u);  // the last lap
  }
}

TEST(DfsAndGetFreeDstPath, VerboseTracesEveryEnteredPort) {
  SmallFabric f = twoSwitches();
  Searcher s(f, twoSwitchGroups(f), {1, 0, 0});
  s.ctx.trace = true;
  // Entering sw1 from a1 with the LIDs of B and C: b1 and b3 go up port 1.
  const std::vector<uint16_t> lids{3, 4, 5, 6};
  testing::internal::CaptureStdout();
  IBPort* dst = dfsAndGetFreeDstPath(s.ctx, *f.port("sw1", 3), 1, lids, s.lidMap, s.limits);
  std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_EQ(dst, f.host("b1"));
  EXPECT_EQ(trace,
            "-V- dfsAndGetFreeDstPath inPort:sw1/P3 num-dsts:4\n"
            "-V- dfsAndGetFreeDstPath inPort:sw2/P1 num-dsts:2\n"
            "-V- dfsAndGetFreeDstPath inPort:b1/P1 num-dsts:1\n");
  EXPECT_EQ(f.flows("sw1", 1), 1u);
  s.ctx.trace = false;
  testing::internal::CaptureStdout();
  s.find("A", "a2");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "silent without -v";
}

}  // namespace

namespace {

TEST(SearchContext, NoticesLidsAddedToTheMapBetweenSearches) {
  SmallFabric f = twoSwitches();
  Searcher s(f, {{"A", {f.host("a1")}}}, {1, 0, 0});
  EXPECT_EQ(s.find("A", "a1"), "-");  // nothing outside A yet
  s.lidMap.set(5, s.lidMap.internGroup("B"), f.host("b2"));
  EXPECT_EQ(s.find("A", "a1"), "b2");
}

}  // namespace
