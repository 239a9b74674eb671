#include "pairs/endpoints.h"

#include <gtest/gtest.h>

#include <string>

#include "fabric/fabric.h"

namespace {

// Node names may end in "/P<n>": the port reading comes first, so that the
// names linkdeal writes ("NODE/P<n>") always mean the port they named.
TEST(Endpoints, APortNameIsReadAsAPortBeforeANodeName) {
  IBFabric f;
  ASSERT_EQ(f.createNodes({{IB_CA_NODE, "a", "", 0x10, 0, 2, 0},
                           {IB_CA_NODE, "a/P1", "", 0x20, 0, 1, 0},
                           {IB_CA_NODE, "a/P3", "", 0x30, 0, 1, 0},
                           {IB_CA_NODE, "b/P2", "", 0x40, 0, 1, 0}}),
            0);
  EndpointIndex endpoints(f);
  std::string problem;
  struct Case {
    const char* text;
    const IBPort* port;
  } cases[] = {
      {"a/P1", f.getPort("a", 1)},        // not the node named a/P1
      {"a/P2", f.getPort("a", 2)},        //
      {"a/P1/P1", f.getPort("a/P1", 1)},  // what linkdeal writes for that node
      {"a", f.getPort("a", 1)},           // a node name: its port 1
      {"b/P2", f.getPort("b/P2", 1)},     // no node b: the node name
  };
  for (const Case& c : cases) {
    EXPECT_EQ(endpoints.find(c.text, &problem), c.port) << c.text << ": " << problem;
    EXPECT_EQ(endpoints.find(c.port->getName(), &problem), c.port) << c.port->getName();
  }
  // Node a has no port 3: the port reading still wins, and the message says
  // how to name the node instead.
  EXPECT_EQ(endpoints.find("a/P3", &problem), nullptr);
  EXPECT_EQ(problem,
            "'a/P3' names no host port of the fabric (read as port 3 of node 'a'; the node "
            "named 'a/P3' is 'a/P3/P1')");
}

}  // namespace
