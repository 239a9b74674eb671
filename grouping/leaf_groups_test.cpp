#include "grouping/leaf_groups.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(GetLeafGroups, HostsByTheSwitchTheirFirstPortIsCabledTo) {
  IBFabric fabric;
  ASSERT_EQ(fabric.createNodes({{IB_SW_NODE, "leafB", "", 0, 0, 4, 0},
                                {IB_SW_NODE, "leafA", "", 0, 0, 4, 0},
                                {IB_CA_NODE, "n3", "", 0, 0, 1, 0},
                                {IB_CA_NODE, "n1", "", 0, 0, 2, 0},
                                {IB_CA_NODE, "n2", "", 0, 0, 1, 0},
                                {IB_CA_NODE, "idle", "", 0, 0, 1, 0},
                                {IB_CA_NODE, "peerA", "", 0, 0, 1, 0},
                                {IB_CA_NODE, "peerB", "", 0, 0, 1, 0}}),
            0);
  IBFabric::link(fabric.getPort("n3", 1), fabric.getPort("leafA", 1));
  IBFabric::link(fabric.getPort("n1", 1), fabric.getPort("leafA", 2));
  // Port 2 does not count: a host is grouped by its port 1, as with -i.
  IBFabric::link(fabric.getPort("n1", 2), fabric.getPort("leafB", 2));
  IBFabric::link(fabric.getPort("n2", 1), fabric.getPort("leafB", 1));
  IBFabric::link(fabric.getPort("leafA", 4), fabric.getPort("leafB", 4));
  IBFabric::link(fabric.getPort("peerA", 1), fabric.getPort("peerB", 1));

  PortGroups groups;
  testing::internal::CaptureStdout();
  getLeafGroups(fabric, groups);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "-I- grouping nodes by the switch they are cabled to\n"
            "-I- group: leafA has: 2 ports\n"
            "-I- group: leafB has: 1 ports\n"
            "-I- Total of 3 nodes (skipped 3)\n");
  ASSERT_EQ(groups.size(), 2u);
  // Ports in creation order, as with -i.
  const std::set<IBPort*> leafA = {fabric.getPort("n3", 1), fabric.getPort("n1", 1)};
  EXPECT_EQ(groups["leafA"], leafA);
  EXPECT_EQ(groups["leafB"], std::set<IBPort*>{fabric.getPort("n2", 1)});
}

}  // namespace
