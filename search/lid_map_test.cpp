#include "search/lid_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "testing/test_fabrics.h"

namespace {

using Listing = std::vector<std::pair<uint16_t, std::string>>;

TEST(BuildLidGroupMap, LidsPerPortWrapAndOverwrite) {
  struct Case {
    const char* name;
    uint16_t lmc;
    std::vector<std::pair<const char*, uint16_t>> hosts;  // group, base LID; h0, h1, ...
    Listing expected;
  };
  const Case cases[] = {
      {"lmc 0", 0, {{"A", 5}, {"B", 9}}, {{5, "A"}, {9, "B"}}},
      {"lmc 2", 2, {{"A", 8}}, {{8, "A"}, {9, "A"}, {10, "A"}, {11, "A"}}},
      {"wrap past 65535", 1, {{"A", 65535}}, {{0, "A"}, {65535, "A"}}},
      {"later group wins", 1, {{"B", 4}, {"A", 5}}, {{4, "B"}, {5, "B"}, {6, "A"}}},
      {"shared LID inside a group", 0, {{"A", 7}, {"C", 3}, {"C", 3}}, {{3, "C"}, {7, "A"}}},
  };
  for (const Case& c : cases) {
    std::vector<SmallFabric::Node> nodes;
    for (size_t i = 0; i < c.hosts.size(); ++i) nodes.push_back({numbered("h", i), false, 1});
    SmallFabric f(nodes);
    PortGroups groups;
    for (size_t i = 0; i < c.hosts.size(); ++i) {
      IBPort* port = f.host(numbered("h", i));
      port->baseLid = c.hosts[i].second;
      groups[c.hosts[i].first].insert(port);
    }
    LidGroupMap map;
    std::string err;
    ASSERT_TRUE(buildLidGroupMap(groups, c.lmc, map, &err)) << c.name << err;
    EXPECT_EQ(map.ordered(), c.expected) << c.name;
    EXPECT_EQ(map.size(), c.expected.size()) << c.name;
    for (const auto& [lid, group] : c.expected) {
      EXPECT_TRUE(map.contains(lid)) << c.name << " " << lid;
      EXPECT_EQ(map.groupName(map.groupOf(lid)), group) << c.name << " " << lid;
    }
  }
}

TEST(BuildLidGroupMap, PortWithoutLidFails) {
  SmallFabric f({{"h0", false, 1}, {"h1", false, 1}});
  f.lid("h0", 3);
  PortGroups groups{{"A", {f.host("h0")}}, {"B", {f.host("h1")}}};
  LidGroupMap map;
  std::string err;
  EXPECT_FALSE(buildLidGroupMap(groups, 0, map, &err));
  EXPECT_EQ(err, "-E- Zero LID for DST port: h1/P1");
}

TEST(LidRangeWarnings, UnalignedSharedAndOverlappingRanges) {
  SmallFabric f({{"h0", false, 1},
                 {"h1", false, 1},
                 {"h2", false, 1},
                 {"h3", false, 1},
                 {"h4", false, 1},
                 {"h5", false, 1}});
  const uint16_t bases[] = {1, 12, 14, 20, 20, 0xfffe};
  PortGroups groups;
  for (unsigned i = 0; i < 6; ++i) {
    f.lid(numbered("h", i), bases[i]);
    groups[i % 2 ? "B" : "A"].insert(f.host(numbered("h", i)));
  }
  EXPECT_EQ(lidRangeWarnings(groups, 2),
            (std::vector<std::string>{
                "-W- Base LID 0x0001 of h0/P1 is not a multiple of 4 (LMC 2)",
                "-W- Base LID 0x000e of h2/P1 is not a multiple of 4 (LMC 2)",
                "-W- Base LID 0xfffe of h5/P1 is not a multiple of 4 (LMC 2)",
                "-W- h3/P1 and h4/P1 share the base LID 0x0014",
                "-W- LIDs 0x000c-0x000f of h1/P1 overlap LIDs 0x000e-0x0011 of h2/P1",
                "-W- LIDs 0xfffe-0x0001 of h5/P1 overlap LIDs 0x0001-0x0004 of h0/P1",
            }));
  EXPECT_TRUE(lidRangeWarnings(groups, 0).size() == 1) << "only the shared base LID";
}

TEST(LidGroupMap, EraseKeepsTheRestIntact) {
  LidGroupMap map;
  int32_t a = map.internGroup("A"), b = map.internGroup("B");
  EXPECT_EQ(map.internGroup("A"), a);
  EXPECT_EQ(map.findGroup("B"), b);
  EXPECT_EQ(map.findGroup("Z"), LidGroupMap::kAbsent);
  for (uint16_t lid = 10; lid < 20; ++lid) map.set(lid, lid % 2 ? a : b, nullptr);
  map.erase(10);
  map.erase(19);
  map.erase(14);
  map.erase(14);  // absent: no effect
  map.erase(500);
  EXPECT_EQ(map.size(), 7u);
  Listing expected;
  for (uint16_t lid : {11, 12, 13, 15, 16, 17, 18}) expected.emplace_back(lid, lid % 2 ? "A" : "B");
  EXPECT_EQ(map.ordered(), expected);
  std::vector<uint16_t> present = map.lids();
  std::sort(present.begin(), present.end());
  EXPECT_EQ(present, (std::vector<uint16_t>{11, 12, 13, 15, 16, 17, 18}));
  map.set(14, a, nullptr);
  EXPECT_EQ(map.size(), 8u);
  EXPECT_EQ(map.groupOf(14), a);
}

TEST(ClearSwitchPortCounters, ZeroesSwitchPortsOnly) {
  SmallFabric f({{"sw", true, 3}, {"h", false, 1}});
  f.link("h", 1, "sw", 1);
  for (IBPort& p : f.fabric.ports()) p.flowCount = 5;
  // A port past the end of the table is passed over.
  IBNode* sw = f.fabric.getNode("sw");
  IBPort* third = sw->portTable[3];
  sw->portTable.truncate(3);
  EXPECT_EQ(clearSwitchPortCounters(f.fabric), 0);
  EXPECT_EQ(f.flows("sw", 1), 0u);
  EXPECT_EQ(f.flows("sw", 2), 0u);
  EXPECT_EQ(third->flowCount, 5u);
  EXPECT_EQ(f.host("h")->flowCount, 5u);
}

}  // namespace
