#include "plan/stage_bound.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/generated_fabric.h"
#include "testing/test_fabrics.h"

namespace {

// Two groups of two switches, four hosts on each switch, the switches of a
// group joined by two cables, and only two cables between the groups
// (a1-b1, a2-b2); routes go straight across where they can. Hosts are
// grouped by their switches' group.
struct TwoGroups {
  SmallFabric f{{{"a1", true, 8},   {"a2", true, 8},   {"b1", true, 8},   {"b2", true, 8},
                 {"ha1", false, 1}, {"ha2", false, 1}, {"ha3", false, 1}, {"ha4", false, 1},
                 {"ha5", false, 1}, {"ha6", false, 1}, {"ha7", false, 1}, {"ha8", false, 1},
                 {"hb1", false, 1}, {"hb2", false, 1}, {"hb3", false, 1}, {"hb4", false, 1},
                 {"hb5", false, 1}, {"hb6", false, 1}, {"hb7", false, 1}, {"hb8", false, 1}}};
  PortGroups groups;

  TwoGroups() {
    const char* sw[] = {"a1", "a2", "b1", "b2"};
    // Ports 1-4 hosts, 5-6 the other switch of the group, 7 the other group.
    f.link("a1", 5, "a2", 5);
    f.link("a1", 6, "a2", 6);
    f.link("b1", 5, "b2", 5);
    f.link("b1", 6, "b2", 6);
    f.link("a1", 7, "b1", 7);
    f.link("a2", 7, "b2", 7);
    for (int s = 0; s < 4; ++s) {
      for (int h = 0; h < 4; ++h) {
        const std::string host = std::string("h") + sw[s][0] + std::to_string(1 + (s % 2) * 4 + h);
        f.link(host, 1, sw[s], static_cast<unsigned>(1 + h));
        f.lid(host, static_cast<uint16_t>(16 + 4 * s + h));
        groups[std::string(1, sw[s][0])].insert(f.host(host));
      }
    }
    // To a host of switch t from switch s: its port, the same group's
    // other switch (by the host's parity over the two cables), or across.
    for (int s = 0; s < 4; ++s) {
      for (int t = 0; t < 4; ++t) {
        for (int h = 0; h < 4; ++h) {
          const uint16_t lid = static_cast<uint16_t>(16 + 4 * t + h);
          uint8_t out = static_cast<uint8_t>(1 + h);
          if (s != t && s / 2 == t / 2) out = static_cast<uint8_t>(5 + h % 2);
          if (s / 2 != t / 2) out = s % 2 == t % 2 ? 7 : static_cast<uint8_t>(5 + h % 2);
          f.route(sw[s], lid, out);
        }
      }
    }
  }
};

TEST(StageBound, CutAroundAGroupOfSwitches) {
  TwoGroups t;
  const PlanSettings s;
  const Plan plan = makePlan(t.f.fabric, t.groups, s);
  ASSERT_TRUE(plan.complete);
  Coverable c = plan.coverable;
  const uint32_t perSwitch = c.lowerBound;
  tightenLowerBound(t.f.fabric, t.groups, s.maxFlows, c);
  // 8 senders of each group leave through 2 cables.
  EXPECT_EQ(c.lowerBound, 4u) << c.boundReason;
  EXPECT_LT(perSwitch, 4u);
  EXPECT_NE(c.boundReason.find("8 sending hosts behind 2 switches"), std::string::npos)
      << c.boundReason;
  EXPECT_GE(plan.stages.size(), c.lowerBound);
}

TEST(StageBound, GroupRuleAlone) {
  // Six of eight leaves in one group: its 24 hosts can pair only with the
  // 8 hosts of the other two leaves, so 3 stages whatever the cables.
  GenOptions gen;
  gen.radix = 8;
  const IBFabric fabric = generatedFabric(gen);
  PortGroups groups;
  for (const auto& [rack, ports] : groupsByRack(fabric))
    groups[rack < "r07" ? "big" : rack].insert(ports.begin(), ports.end());
  const PlanSettings s;
  const Plan plan = makePlan(fabric, groups, s);
  Coverable c = plan.coverable;
  tightenLowerBound(fabric, groups, s.maxFlows, c);
  EXPECT_EQ(c.lowerBound, 3u) << c.boundReason;
  EXPECT_NE(c.boundReason.find("group big: its 24 sending hosts can pair only with 8 receivers"),
            std::string::npos)
      << c.boundReason;
  EXPECT_GE(plan.stages.size(), c.lowerBound);
}

}  // namespace
