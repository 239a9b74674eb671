#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fabric/fabric.h"
#include "fabric/routing/route_check.h"
#include "testing/test_fabrics.h"
#include "testing/test_files.h"

namespace {

struct Result {
  int rc;
  std::string err;
};

Result check(IBFabric& fabric, const char* reportFile = nullptr) {
  testing::internal::CaptureStderr();
  int rc = SubnMgtVerifyAllCaToCaRoutes(fabric, reportFile);
  return {rc, testing::internal::GetCapturedStderr()};
}

NodeDecl sw(const char* name, uint8_t ports) {
  return {IB_SW_NODE, name, "", 0, 0, ports, 0};
}
NodeDecl ca(const char* name, uint8_t ports) {
  return {IB_CA_NODE, name, "", 0, 0, ports, 0};
}

void cable(IBFabric& f, const char* a, unsigned pa, const char* b, unsigned pb) {
  IBFabric::link(f.getPort(a, pa), f.getPort(b, pb));
}

void mapIngress(IBFabric& f, const char* name, unsigned port, uint8_t table) {
  IBNode* node = f.getNode(name);
  node->ingressTable.resize(size_t{node->portCount} + 1, 0);
  node->ingressTable[port] = table;
}

// Two switches joined twice; h1 and h2 on sw1, h3 on sw2, with complete
// tables. h1/P2 has a LID but no link and h0 a link but no LID: neither takes
// part, so any route towards them would show up as broken.
//
//   h1/P1 - sw1/P1   sw1/P3 - sw2/P3   sw2/P1 - h3/P1
//   h2/P1 - sw1/P2   sw1/P4 - sw2/P4
//   h0/P1 - sw1/P5   sw1/P6 unlinked
void buildTwoSwitches(IBFabric& f) {
  ASSERT_EQ(f.createNodes(
                {sw("sw1", 6), sw("sw2", 4), ca("h1", 2), ca("h2", 1), ca("h3", 1), ca("h0", 1)}),
            0);
  cable(f, "h1", 1, "sw1", 1);
  cable(f, "h2", 1, "sw1", 2);
  cable(f, "h0", 1, "sw1", 5);
  cable(f, "sw1", 3, "sw2", 3);
  cable(f, "sw1", 4, "sw2", 4);
  cable(f, "h3", 1, "sw2", 1);
  f.getPort("h1", 1)->baseLid = 1;
  f.getPort("h2", 1)->baseLid = 2;
  f.getPort("h3", 1)->baseLid = 3;
  f.getPort("h1", 2)->baseLid = 7;
  IBNode* s1 = f.getNode("sw1");
  IBNode* s2 = f.getNode("sw2");
  s1->setLFTPortForLid(1, 1, 0);
  s1->setLFTPortForLid(2, 2, 0);
  s1->setLFTPortForLid(3, 3, 0);
  s2->setLFTPortForLid(1, 3, 0);
  s2->setLFTPortForLid(2, 3, 0);
  s2->setLFTPortForLid(3, 1, 0);
}

struct Case {
  const char* what;
  std::function<void(IBFabric&)> change;
  int rc;
  std::string err;
};

TEST(RouteCheck, TwoSwitches) {
  auto fwd = [](IBFabric& f, const char* name, uint16_t lid, uint8_t port, uint8_t table = 0) {
    f.getNode(name)->setLFTPortForLid(lid, port, table);
  };
  const std::vector<Case> cases = {
      {"complete", [](IBFabric&) {}, 0, ""},
      {"missing entry", [&](IBFabric& f) { fwd(f, "sw2", 1, kLftNoEntry); }, 1,
       "-E- Missing route from h3/P1 to h1/P1 lid 1: stopped at sw2 table 0: no forwarding "
       "entry\n"},
      {"egress port 0", [&](IBFabric& f) { fwd(f, "sw2", 2, 0); }, 1,
       "-E- Missing route from h3/P1 to h2/P1 lid 2: stopped at sw2 table 0: delivered to the "
       "switch itself\n"},
      {"egress port past the port count", [&](IBFabric& f) { fwd(f, "sw1", 3, 7); }, 1,
       "-E- Missing route from h1/P1 to h3/P1 lid 3: stopped at sw1 table 0: egress port 7 does "
       "not exist\n"
       "-E- Missing route from h2/P1 to h3/P1 lid 3: stopped at sw1 table 0: egress port 7 does "
       "not exist\n"},
      {"egress port without a link", [&](IBFabric& f) { fwd(f, "sw1", 3, 6); }, 1,
       "-E- Missing route from h1/P1 to h3/P1 lid 3: stopped at sw1/P6 table 0: port has no "
       "link\n"
       "-E- Missing route from h2/P1 to h3/P1 lid 3: stopped at sw1/P6 table 0: port has no "
       "link\n"},
      {"reaches another host", [&](IBFabric& f) { fwd(f, "sw1", 2, 5); }, 1,
       "-E- Missing route from h1/P1 to h2/P1 lid 2: stopped at sw1/P5 table 0: leads to h0/P1\n"
       "-E- Missing route from h3/P1 to h2/P1 lid 2: stopped at sw1/P5 table 0: leads to h0/P1\n"},
      {"loop between the switches", [&](IBFabric& f) { fwd(f, "sw2", 3, 4); }, 1,
       "-E- Missing route from h1/P1 to h3/P1 lid 3: stopped at sw2/P4 table 0: loop, enters "
       "sw1/P4 table 0 again\n"
       "-E- Missing route from h2/P1 to h3/P1 lid 3: stopped at sw2/P4 table 0: loop, enters "
       "sw1/P4 table 0 again\n"},
      {"each switch crossed twice through different tables",
       [&](IBFabric& f) {
         // sw1 t0 -P3-> sw2 t0 -P4-> sw1 t1 -P4-> sw2 t1 -P1-> h3; only the
         // ingress maps tell the second visits apart from a loop.
         mapIngress(f, "sw1", 4, 1);
         mapIngress(f, "sw2", 4, 1);
         fwd(f, "sw2", 3, 4, 0);
         fwd(f, "sw1", 3, 4, 1);
         fwd(f, "sw2", 3, 1, 1);
       },
       0, ""},
      {"broken only in the table the source's ingress selects",
       [&](IBFabric& f) {
         mapIngress(f, "sw2", 1, 1);
         fwd(f, "sw2", 1, 3, 1);
         fwd(f, "sw2", 2, kLftNoEntry, 1);
       },
       1,
       "-E- Missing route from h3/P1 to h2/P1 lid 2: stopped at sw2 table 1: no forwarding "
       "entry\n"},
      {"ingress map without the tables it names", [&](IBFabric& f) { mapIngress(f, "sw1", 3, 2); },
       1,
       "-E- Missing route from h3/P1 to h1/P1 lid 1: stopped at sw1 table 2: no forwarding "
       "entry\n"
       "-E- Missing route from h3/P1 to h2/P1 lid 2: stopped at sw1 table 2: no forwarding "
       "entry\n"},
  };
  for (const Case& c : cases) {
    IBFabric f;
    buildTwoSwitches(f);
    c.change(f);
    Result r = check(f);
    EXPECT_EQ(r.rc, c.rc) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
  }
}

TEST(RouteCheck, HostCabledToHost) {
  IBFabric f;
  ASSERT_EQ(f.createNodes({ca("a", 1), ca("b", 1)}), 0);
  cable(f, "a", 1, "b", 1);
  f.getPort("a", 1)->baseLid = 1;
  f.getPort("b", 1)->baseLid = 2;
  Result r = check(f);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.err, "");

  // A third host behind a switch is out of reach for both.
  IBFabric g;
  ASSERT_EQ(g.createNodes({ca("a", 1), ca("b", 1), sw("s", 2), ca("c", 1)}), 0);
  cable(g, "a", 1, "b", 1);
  cable(g, "c", 1, "s", 1);
  g.getPort("a", 1)->baseLid = 1;
  g.getPort("b", 1)->baseLid = 2;
  g.getPort("c", 1)->baseLid = 3;
  g.getNode("s")->setLFTPortForLid(1, 2, 0);
  r = check(g);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err,
            "-E- Missing route from c/P1 to a/P1 lid 1: stopped at s/P2 table 0: port has no link\n"
            "-E- Missing route from c/P1 to b/P1 lid 2: stopped at s table 0: no forwarding entry\n"
            "-E- Missing route from a/P1 to c/P1 lid 3: stopped at a/P1: cabled to b/P1\n"
            "-E- Missing route from b/P1 to c/P1 lid 3: stopped at b/P1: cabled to a/P1\n");
}

TEST(RouteCheck, StandardErrorShowsTwentyReportFileAll) {
  // Eight hosts on a switch with an empty table: 8 x 7 broken routes.
  IBFabric f;
  std::vector<NodeDecl> decls = {sw("s", 8)};
  std::vector<std::string> names;
  for (int i = 0; i < 8; ++i) names.push_back(std::string(1, 'h').append(std::to_string(i)));
  for (const std::string& n : names) decls.push_back(ca(n.c_str(), 1));
  ASSERT_EQ(f.createNodes(decls), 0);
  for (int i = 0; i < 8; ++i) {
    cable(f, names[i].c_str(), 1, "s", i + 1);
    f.getPort(names[i], 1)->baseLid = static_cast<uint16_t>(i + 1);
  }
  std::string path = writeTestFile("routes.txt", "stale contents\n");
  Result r = check(f, path.c_str());
  EXPECT_EQ(r.rc, 1);
  std::vector<std::string> shown = splitLines(r.err);
  std::vector<std::string> all = splitLines(readTestFile(path));
  ASSERT_EQ(shown.size(), 21u);
  ASSERT_EQ(all.size(), 56u);
  EXPECT_EQ(shown[20], "-E- 36 more missing routes not shown");
  for (size_t i = 0; i < 20; ++i) EXPECT_EQ(shown[i], all[i]) << i;
  EXPECT_EQ(all[55],
            "-E- Missing route from h6/P1 to h7/P1 lid 8: stopped at s table 0: no forwarding "
            "entry");

  // Once complete, the report is emptied.
  for (int i = 0; i < 8; ++i)
    f.getNode("s")->setLFTPortForLid(static_cast<uint16_t>(i + 1), static_cast<uint8_t>(i + 1), 0);
  r = check(f, path.c_str());
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(readTestFile(path), "");
}

TEST(RouteCheck, LinesFollowHostOrderWhateverTheLids) {
  // LIDs handed out against the host order, and a loop between two switches
  // for h0's LID: the lines still go destination by destination in host
  // order, each destination's sources in host order.
  IBFabric f;
  std::vector<NodeDecl> decls = {sw("s", 6), sw("t", 2)};
  const char* names[] = {"h0", "h1", "h2", "h3"};
  for (const char* n : names) decls.push_back(ca(n, 1));
  ASSERT_EQ(f.createNodes(decls), 0);
  for (int i = 0; i < 4; ++i) {
    cable(f, names[i], 1, "s", i + 1);
    f.getPort(names[i], 1)->baseLid = static_cast<uint16_t>(40 - 10 * i);
  }
  cable(f, "s", 5, "t", 1);
  f.getNode("s")->setLFTPortForLid(40, 5, 0);
  f.getNode("t")->setLFTPortForLid(40, 1, 0);
  std::string path = writeTestFile("routes.txt", "");
  Result r = check(f, path.c_str());
  EXPECT_EQ(r.rc, 1);
  std::vector<std::string> all = splitLines(readTestFile(path));
  ASSERT_EQ(all.size(), 12u);
  EXPECT_EQ(all[0],
            "-E- Missing route from h1/P1 to h0/P1 lid 40: stopped at t/P1 table 0: loop, enters "
            "s/P5 table 0 again");
  EXPECT_EQ(all[3],
            "-E- Missing route from h0/P1 to h1/P1 lid 30: stopped at s table 0: no "
            "forwarding entry");
  EXPECT_EQ(all[11],
            "-E- Missing route from h2/P1 to h3/P1 lid 10: stopped at s table 0: no "
            "forwarding entry");
  EXPECT_EQ(splitLines(r.err), all);
}

TEST(RouteCheck, UnwritableReportFails) {
  IBFabric f;
  buildTwoSwitches(f);
  std::string path = testing::TempDir() + "/no-such-folder/routes.txt";
  Result r = check(f, path.c_str());
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("-E- Cannot write route report " + path), std::string::npos) << r.err;
}

}  // namespace

TEST(RouteCheck, CountWithoutReportMatchesTheReport) {
  // Hosts behind a half-filled table, two hosts cabled to each other, and a
  // host cabled to one without a LID: past the twentieth line the broken
  // routes are only counted, and the count must match the full report.
  IBFabric f;
  std::vector<NodeDecl> decls = {sw("s", 6)};
  for (const char* n : {"h1", "h2", "h3", "h4", "h5", "h6", "a", "b", "c", "d"})
    decls.push_back(ca(n, 1));
  ASSERT_EQ(f.createNodes(decls), 0);
  for (int i = 1; i <= 6; ++i) {
    std::string name = std::string(1, 'h').append(std::to_string(i));
    cable(f, name.c_str(), 1, "s", i);
    f.getPort(name, 1)->baseLid = static_cast<uint16_t>(i);
    if (i % 2)
      f.getNode("s")->setLFTPortForLid(static_cast<uint16_t>(i), static_cast<uint8_t>(i), 0);
  }
  cable(f, "a", 1, "b", 1);
  cable(f, "c", 1, "d", 1);
  f.getPort("a", 1)->baseLid = 10;
  f.getPort("b", 1)->baseLid = 11;
  f.getPort("c", 1)->baseLid = 12;

  std::string path = writeTestFile("routes.txt", "");
  Result all = check(f, path.c_str());
  size_t total = splitLines(readTestFile(path)).size();
  ASSERT_GT(total, 40u);
  Result counted = check(f);
  EXPECT_EQ(counted.rc, 1);
  std::vector<std::string> shown = splitLines(counted.err);
  ASSERT_EQ(shown.size(), 21u);
  EXPECT_EQ(shown[20], "-E- " + std::to_string(total - 20) + " more missing routes not shown");
  EXPECT_EQ(splitLines(all.err), shown);
}

// The check counts broken routes LIDs at a time and writes each line one
// destination at a time: the count past the shown lines must match the
// lines. A chain longer than the propagation's sweeps, and two hosts with
// one base LID, take the one-at-a-time walk.
TEST(RouteCheck, CountMatchesTheLinesOnChainsAndSharedLids) {
  IBFabric f;
  constexpr int kSwitches = 100;
  std::vector<NodeDecl> decls;
  std::vector<std::string> names;
  for (int i = 1; i <= kSwitches; ++i)
    names.push_back(std::string(1, 's').append(std::to_string(i)));
  for (const std::string& n : names) decls.push_back({IB_SW_NODE, n, "", 0, 0, 4, 0});
  for (const char* n : {"a", "b", "c", "d"}) decls.push_back(ca(n, 1));
  ASSERT_EQ(f.createNodes(decls), 0);
  for (int i = 1; i < kSwitches; ++i) cable(f, names[i - 1].c_str(), 2, names[i].c_str(), 1);
  cable(f, "a", 1, "s1", 3);
  cable(f, "b", 1, "s100", 3);
  cable(f, "c", 1, "s20", 3);
  cable(f, "d", 1, "s20", 4);
  const std::pair<const char*, int> hosts[] = {{"a", 1}, {"b", 100}, {"c", 20}};
  for (uint16_t lid = 1; lid <= 3; ++lid) {
    f.getPort(hosts[lid - 1].first, 1)->baseLid = lid;
    for (int i = 1; i <= kSwitches; ++i) {
      const int at = hosts[lid - 1].second;
      const uint8_t port = i == at ? 3 : i < at ? 2 : 1;
      f.getNode(names[i - 1])->setLFTPortForLid(lid, port, 0);
    }
  }
  f.getPort("d", 1)->baseLid = 3;                         // c's LID: d is never reached
  f.getNode("s10")->setLFTPortForLid(2, kLftNoEntry, 0);  // a no longer reaches b

  std::string path = writeTestFile("routes.txt", "");
  Result all = check(f, path.c_str());
  EXPECT_EQ(all.rc, 1);
  std::vector<std::string> lines = splitLines(readTestFile(path));
  std::set<std::string> pairs;
  for (const std::string& line : lines) pairs.insert(line.substr(0, line.find(" lid ")));
  const std::set<std::string> want = {
      "-E- Missing route from a/P1 to b/P1", "-E- Missing route from a/P1 to d/P1",
      "-E- Missing route from b/P1 to d/P1", "-E- Missing route from c/P1 to d/P1"};
  EXPECT_EQ(pairs, want);
  EXPECT_EQ(lines.size(), want.size());
}

TEST(RouteCheck, CountMatchesTheLinesOnRandomFabrics) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    RandomFabricParams prm;
    prm.switches = 2 + seed % 7;
    prm.hosts = 30;
    prm.extraLinks = seed % 4;
    prm.portsPerSwitch = std::max(3u, portsForLinks(prm, 1)) + 2;
    prm.privateTables = seed % 2 == 0;
    prm.unlinkedHosts = seed % 3 == 0;
    prm.scrambledEntries = seed % 5 == 0 ? 0 : 2 * seed;
    TestFabric t = makeRandomFabric(prm, seed);
    std::string path = writeTestFile("routes.txt", "");
    Result all = check(*t.fabric, path.c_str());
    const size_t total = splitLines(readTestFile(path)).size();
    Result counted = check(*t.fabric);
    EXPECT_EQ(counted.rc, total == 0 ? 0 : 1) << "seed " << seed;
    std::vector<std::string> shown = splitLines(counted.err);
    if (total > 20) {
      ASSERT_EQ(shown.size(), 21u) << "seed " << seed;
      EXPECT_EQ(shown[20], "-E- " + std::to_string(total - 20) + " more missing routes not shown")
          << "seed " << seed;
    } else {
      EXPECT_EQ(shown.size(), total) << "seed " << seed;
    }
  }
}
