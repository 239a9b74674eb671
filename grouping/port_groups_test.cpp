#include "grouping/port_groups.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Node {
  std::string name;
  int type;
  uint8_t ports;
};

// Group name -> owners of its ports, in set order.
using Listing = std::map<std::string, std::vector<std::string>>;

Listing listGroups(const PortGroups& groups) {
  Listing out;
  for (const auto& [name, ports] : groups) {
    std::vector<std::string>& owners = out[name];
    for (const IBPort* p : ports) owners.push_back(p->owner->nodeName);
  }
  return out;
}

void build(IBFabric& fabric, const std::vector<Node>& nodes) {
  std::vector<NodeDecl> decls;
  for (const Node& n : nodes) decls.push_back({n.type, n.name, "", 0, 0, n.ports, 0});
  ASSERT_EQ(fabric.createNodes(std::move(decls)), 0);
}

struct Case {
  const char* what;
  std::vector<Node> nodes;
  std::string expression;
  std::string output;
  Listing groups;
};

const int CA = IB_CA_NODE;
const int SW = IB_SW_NODE;

TEST(GetPortGroups, Table) {
  const std::vector<Case> cases = {
      {"no parentheses: one group with the empty name",
       {{"h1", CA, 1}, {"h2", CA, 2}, {"x9", CA, 1}},
       "h",
       "-I- group:  has: 2 ports\n"
       "-I- Total of 2 nodes (skipped 1)\n",
       {{"", {"h1", "h2"}}}},
      {"optional first group that took no part",
       {{"rack1-n1", CA, 1}, {"n2", CA, 1}},
       "(rack[0-9]+-)?n",
       "-I- group:  has: 1 ports\n"
       "-I- group: rack1- has: 1 ports\n"
       "-I- Total of 2 nodes (skipped 0)\n",
       {{"", {"n2"}}, {"rack1-", {"rack1-n1"}}}},
      {"switches and hosts without port 1 are counted nowhere",
       {{"sw1", SW, 4}, {"h0", CA, 0}, {"h1", CA, 1}, {"zz", CA, 1}},
       "^(h|s)",
       "-I- group: h has: 1 ports\n"
       "-I- Total of 1 nodes (skipped 1)\n",
       {{"h", {"h1"}}}},
      {"two hosts capturing the same text share a group",
       {{"a-1", CA, 1}, {"a-2", CA, 1}, {"b-1", CA, 1}},
       "^([a-z]+)-",
       "-I- group: a has: 2 ports\n"
       "-I- group: b has: 1 ports\n"
       "-I- Total of 3 nodes (skipped 0)\n",
       {{"a", {"a-1", "a-2"}}, {"b", {"b-1"}}}},
      {"a fabric without hosts",
       {{"sw1", SW, 2}, {"sw2", SW, 2}},
       "(.*)",
       "-I- Total of 0 nodes (skipped 0)\n",
       {}},
      {"leftmost-longest alternation",
       {{"abc", CA, 1}},
       "(a|ab)",
       "-I- group: ab has: 1 ports\n"
       "-I- Total of 1 nodes (skipped 0)\n",
       {{"ab", {"abc"}}}},
      {"the longest overall match decides the first capture",
       {{"abcd", CA, 1}},
       "(a|ab)(c|bcd)",
       "-I- group: a has: 1 ports\n"
       "-I- Total of 1 nodes (skipped 0)\n",
       {{"a", {"abcd"}}}},
      {"bracket classes, unanchored search",
       {{"node12x", CA, 1}, {"nodex", CA, 1}},
       "([[:digit:]]+)",
       "-I- group: 12 has: 1 ports\n"
       "-I- Total of 1 nodes (skipped 1)\n",
       {{"12", {"node12x"}}}},
      {"a set holds ports in creation order, not name order",
       {{"c-2", CA, 1}, {"c-1", CA, 1}, {"c-3", CA, 1}},
       "^(c)",
       "-I- group: c has: 3 ports\n"
       "-I- Total of 3 nodes (skipped 0)\n",
       {{"c", {"c-2", "c-1", "c-3"}}}},
  };
  for (const Case& c : cases) {
    IBFabric fabric;
    build(fabric, c.nodes);
    PortGroups groups;
    testing::internal::CaptureStdout();
    int rc = getPortGroups(fabric, c.expression, groups);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0) << c.what;
    EXPECT_EQ(out, "-I- definding nodes by regexp: " + c.expression + "\n" + c.output) << c.what;
    EXPECT_EQ(listGroups(groups), c.groups) << c.what;
    for (const auto& [name, ports] : groups)
      for (const IBPort* p : ports) EXPECT_EQ(p->portNumber, 1) << c.what << ": " << name;
  }
}

TEST(GetPortGroups, NullFirstPortEntryIsCountedNowhere) {
  IBFabric fabric;
  build(fabric, {{"h1", CA, 2}, {"h2", CA, 1}});
  fabric.getNode("h1")->portTable.erase(1);
  PortGroups groups;
  testing::internal::CaptureStdout();
  EXPECT_EQ(getPortGroups(fabric, "h", groups), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "-I- definding nodes by regexp: h\n"
            "-I- group:  has: 1 ports\n"
            "-I- Total of 1 nodes (skipped 0)\n");
}

TEST(GetPortGroups, BadExpressionStopsBeforeTheReport) {
  for (const char* bad : {"(unclosed", "a{2,1}", "[z-a]"}) {
    IBFabric fabric;
    build(fabric, {{"h1", CA, 1}});
    PortGroups groups;
    testing::internal::CaptureStdout();
    int rc = getPortGroups(fabric, bad, groups);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(rc, 0) << bad;
    EXPECT_EQ(out, std::string("-E- Fail to compile regular expression:") + bad + "\n") << bad;
    EXPECT_TRUE(groups.empty()) << bad;
  }
}

}  // namespace
