#include "tools/fabricgen.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "fabric/dumps/readers.h"
#include "fabric/dumps/writers.h"
#include "fabric/routing/route_check.h"
#include "testing/generated_fabric.h"
#include "testing/test_files.h"
#include "testing/topology_forms.h"

namespace {

struct Case {
  const char* name;
  GenOptions options;
};

GenOptions twoLevel(int leaves, int hosts, int up, int parallel = 1) {
  GenOptions o;
  o.levels = 2;
  o.radix = 12;
  o.leaves = leaves;
  o.hostsPerLeaf = hosts;
  o.upLinks = up;
  o.parallelLinks = parallel;
  return o;
}

GenOptions threeLevel(int radix, int parallel = 1) {
  GenOptions o;
  o.levels = 3;
  o.radix = radix;
  o.parallelLinks = parallel;
  return o;
}

template <typename F>
GenOptions with(GenOptions o, F&& change) {
  change(o);
  return o;
}

// The fabrics every routing and round-trip check runs on: both depths, LMC,
// parallel cables, oversubscription and private tables.
std::vector<Case> fabrics() {
  return {
      {"2-level", twoLevel(4, 4, 2)},
      {"2-level parallel", twoLevel(3, 4, 4, 2)},
      {"2-level oversubscribed lmc2", with(twoLevel(5, 6, 2), [](auto& o) { o.lmc = 2; })},
      {"2-level private", with(twoLevel(4, 3, 3), [](auto& o) { o.privateTables = true; })},
      {"3-level radix 8", threeLevel(8)},
      {"3-level radix 8 lmc2 private", with(threeLevel(8),
                                            [](auto& o) {
                                              o.lmc = 2;
                                              o.privateTables = true;
                                            })},
      {"3-level radix 8 parallel", threeLevel(8, 2)},
      {"3-level small pods", with(threeLevel(6),
                                  [](auto& o) {
                                    o.pods = 3;
                                    o.hostsPerLeaf = 2;
                                    o.upLinks = 3;
                                  })},
      {"2-level shuffled", with(twoLevel(4, 4, 2), [](auto& o) { o.shuffled = true; })},
      {"3-level radix 8 lmc2 private shuffled", with(threeLevel(8),
                                                     [](auto& o) {
                                                       o.lmc = 2;
                                                       o.privateTables = true;
                                                       o.shuffled = true;
                                                       o.shuffleSeed = 7;
                                                     })},
  };
}

// Follows the tables from src to lid, using the table each ingress port
// selects; returns the host port reached, or null on a dead end or loop,
// and counts the links crossed in *links.
const IBPort* walk(const IBPort& src, uint16_t lid, int* links = nullptr) {
  const IBPort* in = src.remote;
  for (int steps = 0; in && steps < 16; ++steps) {
    const IBNode* node = in->owner;
    if (links) *links = steps + 1;
    if (!node->isSwitch()) return in;
    uint8_t port = node->getLFTPortForLid(lid, node->tableForIngress(in->portNumber));
    const IBPort* out = node->getPort(port);
    if (!out) return nullptr;
    in = out->remote;
  }
  return nullptr;
}

std::vector<const IBPort*> hostPorts(const IBFabric& f) {
  std::vector<const IBPort*> hosts;
  for (const IBPort& p : f.ports())
    if (!p.owner->isSwitch()) hosts.push_back(&p);
  return hosts;
}

TEST(FabricGen, OptionsAreCheckedAndDefaultsFilled) {
  struct Bad {
    const char* name;
    GenOptions options;
    const char* error;
  };
  const Bad bad[] = {
      {"levels 4", with(GenOptions{}, [](auto& o) { o.levels = 4; }), "levels must be 2 or 3"},
      {"radix 255", with(GenOptions{}, [](auto& o) { o.radix = 255; }), "radix must be"},
      {"hosts fill the switch", with(GenOptions{}, [](auto& o) { o.hostsPerLeaf = 36; }),
       "leave no up port"},
      {"hosts plus up-links", twoLevel(4, 8, 6), "exceed the radix"},
      {"up-links vs parallel", twoLevel(4, 4, 3, 2), "not a multiple"},
      {"too many leaves", twoLevel(7, 4, 4, 2), "do not fit a spine"},
      {"pods in two levels", with(GenOptions{}, [](auto& o) { o.pods = 2; }), "three-level"},
      {"too many pods", with(threeLevel(8), [](auto& o) { o.pods = 9; }), "do not fit a core"},
      {"leaves per pod", with(threeLevel(8), [](auto& o) { o.leaves = 5; }), "do not fit"},
      {"lmc 8", with(GenOptions{}, [](auto& o) { o.lmc = 8; }), "lmc must be"},
      {"LID space", with(threeLevel(36), [](auto& o) { o.lmc = 3; }), "unicast LIDs"},
      {"negative", with(GenOptions{}, [](auto& o) { o.leaves = -1; }), "negative"},
      {"wrong host, one per leaf",
       with(twoLevel(4, 1, 1), [](auto& o) { o.faultWrongHost = true; }), "2 hosts per leaf"},
      {"loop, one leaf", with(twoLevel(1, 4, 2), [](auto& o) { o.faultLoop = true; }), "2 leaves"},
  };
  for (const Bad& c : bad) {
    GenOptions o = c.options;
    std::string err;
    EXPECT_FALSE(resolveGenOptions(o, &err)) << c.name;
    EXPECT_NE(err.find(c.error), std::string::npos) << c.name << ": " << err;
  }

  GenOptions full3;
  full3.levels = 3;
  std::string err;
  ASSERT_TRUE(resolveGenOptions(full3, &err)) << err;
  EXPECT_EQ(full3.hostsPerLeaf, 18);
  EXPECT_EQ(full3.upLinks, 18);
  EXPECT_EQ(full3.leaves, 18);
  EXPECT_EQ(full3.pods, 36);
}

TEST(FabricGen, ShapeCountsAndCabling) {
  struct Want {
    const char* name;
    GenOptions options;
    int hosts, switches, links;
  };
  const Want wants[] = {
      // 4x4 hosts, 2 spines: 16 host cables + 4 leaves x 2 up.
      {"example", with(twoLevel(4, 4, 2), [](auto& o) { o.radix = 36; }), 16, 6, 24},
      {"2-level default radix 12", with(GenOptions{}, [](auto& o) { o.radix = 12; }), 72, 18, 144},
      // 8 pods x 4 leaves x 4 hosts; 8x(4+4) + 16 cores; 128 + 128 + 128 cables.
      {"3-level radix 8", threeLevel(8), 128, 80, 384},
      {"3-level parallel", threeLevel(8, 2), 32, 20, 96},
  };
  for (const Want& w : wants) {
    GenSummary sum;
    IBFabric f = generatedFabric(w.options, &sum);
    EXPECT_EQ(sum.hosts, w.hosts) << w.name;
    EXPECT_EQ(sum.switches, w.switches) << w.name;
    EXPECT_EQ(sum.links, w.links) << w.name;
    int cabled = 0;
    std::set<uint64_t> guids;
    for (const IBPort& p : f.ports()) {
      if (!p.remote) continue;
      ++cabled;
      EXPECT_EQ(p.remote->remote, &p) << w.name << " " << p.getName();
      EXPECT_NE(p.remote->owner, p.owner) << w.name << " " << p.getName();
      // Hosts hang off leaves only.
      if (!p.owner->isSwitch()) {
        EXPECT_NE(p.remote->owner->nodeName.find("leaf"), std::string::npos) << w.name;
      }
    }
    EXPECT_EQ(cabled, 2 * w.links) << w.name;
    for (const IBNode& n : f.nodes()) EXPECT_TRUE(guids.insert(n.nodeGuid).second) << w.name;
    for (const IBPort* h : hostPorts(f)) EXPECT_TRUE(guids.insert(h->guid).second) << w.name;
  }
}

TEST(FabricGen, NamesAndLids) {
  GenOptions o = with(twoLevel(3, 4, 2), [](auto& o) { o.lmc = 2; });
  IBFabric f = generatedFabric(o);
  EXPECT_NE(f.getNode("r01n01_HCA-1"), nullptr);
  EXPECT_NE(f.getNode("r03n04_HCA-1"), nullptr);
  EXPECT_EQ(f.getNode("r04n01_HCA-1"), nullptr);
  ASSERT_NE(f.getNode("MF0;leaf03:MQM8700/U1"), nullptr);
  ASSERT_NE(f.getNode("MF0;spine02:MQM8700/U1"), nullptr);
  EXPECT_EQ(f.getNode("r01n01_HCA-1")->description, "r01n01 HCA-1");

  std::set<uint16_t> lids;
  for (const IBNode& n : f.nodes())
    if (n.isSwitch()) {
      EXPECT_TRUE(lids.insert(n.lid).second) << n.nodeName;
    }
  for (const IBPort* h : hostPorts(f)) {
    EXPECT_EQ(h->baseLid % 4, 0) << h->getName();
    for (int k = 0; k < 4; ++k)
      EXPECT_TRUE(lids.insert(uint16_t(h->baseLid + k)).second) << h->getName() << " +" << k;
  }

  // Racks that span leaves.
  o.hostsPerRack = 6;
  IBFabric racks = generatedFabric(o);
  EXPECT_NE(racks.getNode("r01n06_HCA-1"), nullptr);
  EXPECT_NE(racks.getNode("r02n06_HCA-1"), nullptr);
  EXPECT_EQ(racks.getNode("r03n01_HCA-1"), nullptr);
  EXPECT_EQ(racks.getNode("r01n06_HCA-1")->portTable[1]->remote->owner->nodeName,
            "MF0;leaf02:MQM8700/U1");
}

TEST(FabricGen, EveryLidOfEveryHostIsRoutedFromEveryHost) {
  for (const Case& c : fabrics()) {
    IBFabric f = generatedFabric(c.options);
    EXPECT_EQ(SubnMgtVerifyAllCaToCaRoutes(f, nullptr), 0) << c.name;
    // The check above looks at base LIDs; walk the LMC LIDs too.
    int lids = 1 << c.options.lmc;
    std::vector<const IBPort*> hosts = hostPorts(f);
    int broken = 0;
    for (const IBPort* src : hosts)
      for (const IBPort* dst : hosts)
        for (int k = 0; k < lids && src != dst; ++k)
          broken += walk(*src, uint16_t(dst->baseLid + k)) != dst;
    EXPECT_EQ(broken, 0) << c.name;
  }
}

TEST(FabricGen, MinHopTakesTheLeastUsedShortestPort) {
  // 2 leaves of 2 hosts under 2 spines: switch LIDs 1-4, hosts 5-8.
  GenOptions o = twoLevel(2, 2, 2);
  o.routing = GenOptions::Routing::kMinHop;
  IBFabric f = generatedFabric(o);
  const std::vector<uint8_t> leaf1{kLftNoEntry, 0, 3, 3, 4, 1, 2, 4, 3};
  const std::vector<uint8_t> spine1{kLftNoEntry, 1, 2, 0, 1, 1, 1, 2, 2};
  EXPECT_EQ(f.getNode("MF0;leaf01:MQM8700/U1")->lfts.at(0), leaf1);
  EXPECT_EQ(f.getNode("MF0;spine01:MQM8700/U1")->lfts.at(0), spine1);

  // Every host LID delivered, over as few links as the fat-tree routing uses.
  const GenOptions trees[] = {
      with(threeLevel(8), [](auto& o) { o.lmc = 1; }),
      with(threeLevel(8, 2), [](auto& o) { o.shuffled = true; }),
      with(twoLevel(3, 4, 4, 2), [](auto& o) { o.lmc = 2; }),
      with(threeLevel(6), [](auto& o) { o.privateTables = o.shuffled = true; }),
  };
  for (const GenOptions& tree : trees) {
    GenOptions minHop = tree;
    minHop.routing = GenOptions::Routing::kMinHop;
    IBFabric routed = generatedFabric(minHop), reference = generatedFabric(tree);
    std::vector<const IBPort*> hosts = hostPorts(routed), refHosts = hostPorts(reference);
    ASSERT_EQ(hosts.size(), refHosts.size());
    int wrong = 0;
    for (size_t s = 0; s < hosts.size(); ++s)
      for (size_t d = 0; d < hosts.size(); ++d)
        for (int k = 0; k < (1 << tree.lmc) && s != d; ++k) {
          int links = 0, refLinks = 0;
          const uint16_t lid = uint16_t(hosts[d]->baseLid + k);
          wrong += walk(*hosts[s], lid, &links) != hosts[d];
          walk(*refHosts[s], lid, &refLinks);
          wrong += links != refLinks;
        }
    EXPECT_EQ(wrong, 0) << tree.levels << " levels, radix " << tree.radix;
  }
}

TEST(FabricGen, LmcLidsLeaveTheLeafByDifferentUpPorts) {
  for (const Case& c : fabrics()) {
    if (c.options.lmc == 0) continue;
    GenOptions o = c.options;
    std::string err;
    ASSERT_TRUE(resolveGenOptions(o, &err)) << err;
    IBFabric f = generatedFabric(o);
    const IBNode* leaf = f.getNode("MF0;leaf01:MQM8700/U1");
    ASSERT_NE(leaf, nullptr) << c.name;
    std::vector<const IBPort*> hosts = hostPorts(f);
    for (const IBPort* dst : hosts) {
      if (dst->remote->owner == leaf) continue;
      std::set<uint8_t> ports;
      for (int k = 0; k < (1 << c.options.lmc); ++k)
        ports.insert(leaf->getLFTPortForLid(uint16_t(dst->baseLid + k), 0));
      EXPECT_EQ(ports.size(), std::min(size_t{1} << c.options.lmc, size_t(o.upLinks)))
          << c.name << " " << dst->getName();
    }
  }
}

TEST(FabricGen, UpPortsCarryEqualShares) {
  // In a full tree every up port of a leaf carries as many remote hosts.
  for (GenOptions o : {twoLevel(4, 4, 4), twoLevel(3, 4, 4, 2), threeLevel(8)}) {
    std::string err;
    ASSERT_TRUE(resolveGenOptions(o, &err)) << err;
    IBFabric f = generatedFabric(o);
    const IBNode* leaf = f.getNode("MF0;leaf01:MQM8700/U1");
    ASSERT_NE(leaf, nullptr);
    std::vector<int> perPort(leaf->portCount + 1, 0);
    for (const IBPort* dst : hostPorts(f))
      if (dst->remote->owner != leaf) ++perPort[leaf->getLFTPortForLid(dst->baseLid, 0)];
    int up = o.upLinks;
    int hosts = int(hostPorts(f).size());
    for (int p = o.hostsPerLeaf + 1; p <= o.hostsPerLeaf + up; ++p)
      EXPECT_EQ(perPort[p], (hosts - o.hostsPerLeaf) / up)
          << "levels " << o.levels << " port " << p;
  }
}

TEST(FabricGen, PrivateTablesMapDownPortsToARotatedTable) {
  IBFabric f = generatedFabric(with(twoLevel(4, 3, 3), [](auto& o) { o.privateTables = true; }));
  const IBNode* even = f.getNode("MF0;leaf01:MQM8700/U1");
  const IBNode* odd = f.getNode("MF0;leaf02:MQM8700/U1");
  ASSERT_TRUE(even && odd);
  EXPECT_TRUE(odd->ingressTable.empty());
  ASSERT_EQ(even->ingressTable.size(), size_t{even->portCount} + 1);
  EXPECT_EQ(even->tableForIngress(1), 1);
  EXPECT_EQ(even->tableForIngress(3), 1);
  EXPECT_EQ(even->tableForIngress(4), 0);
  int differ = 0;
  for (const IBPort* dst : hostPorts(f))
    differ += even->getLFTPortForLid(dst->baseLid, 0) != even->getLFTPortForLid(dst->baseLid, 1);
  EXPECT_EQ(differ, 9);  // the hosts of the other three leaves
}

TEST(FabricGen, EachFaultBreaksARoute) {
  const GenOptions bases[] = {twoLevel(4, 4, 2),
                              with(threeLevel(8), [](auto& o) { o.privateTables = true; })};
  for (const GenOptions& base : bases) {
    const char* names[] = {"missing entry", "loop", "wrong host"};
    for (int fault = 0; fault < 3; ++fault) {
      GenOptions o = base;
      o.faultMissingEntry = fault == 0;
      o.faultLoop = fault == 1;
      o.faultWrongHost = fault == 2;
      IBFabric f = generatedFabric(o);
      EXPECT_NE(SubnMgtVerifyAllCaToCaRoutes(f, nullptr), 0)
          << names[fault] << " levels " << base.levels;
    }
  }
}

TEST(FabricGen, DeadPort1HostIsCabledOnPort2Only) {
  IBFabric f = generatedFabric(with(twoLevel(2, 2, 2), [](auto& o) { o.deadPort1Host = true; }));
  const IBNode* host = f.getNode("r02n02_HCA-1");
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(host->portCount, 2);
  EXPECT_EQ(host->getPort(1)->remote, nullptr);
  EXPECT_EQ(host->getPort(1)->baseLid, 0);
  const IBPort* p2 = host->getPort(2);
  ASSERT_NE(p2->remote, nullptr);
  EXPECT_EQ(p2->remote->getName(), "MF0;leaf02:MQM8700/U1/P2");
  EXPECT_EQ(p2->guid, host->nodeGuid + 2);
  EXPECT_NE(p2->baseLid, 0);
  EXPECT_EQ(walk(*f.getNode("r01n01_HCA-1")->getPort(1), p2->baseLid), p2);
  EXPECT_EQ(SubnMgtVerifyAllCaToCaRoutes(f, nullptr), 0);

  std::string lst = readTestFile(writeFabricToTestDir(f, "deadport1") + "/fabric.lst");
  EXPECT_NE(lst.find("{r02n02 HCA-1} LID:0008 PN:02 }"), std::string::npos) << lst;
  EXPECT_EQ(lst.find("{r02n02 HCA-1} LID:0000"), std::string::npos) << lst;
  EXPECT_EQ(lst.find("{r02n02 HCA-1} LID:0008 PN:01"), std::string::npos) << lst;
}

// Writes, reads back with the readers and compares everything the model
// holds; the loaded fabric must pass the route check too.
void expectRoundTrip(const Case& c, char layout) {
  std::string where = std::string(c.name) + " layout " + layout;
  IBFabric f = generatedFabric(c.options);
  std::string dir = makeTestDir(std::string(c.name) + layout);
  std::string err;
  ASSERT_TRUE(writeFabricFiles(f, dir, layout, &err)) << where << ": " << err;
  IBFabric g;
  ASSERT_TRUE(readLstFile(g, dir + "/fabric.lst", &err)) << where << ": " << err;
  if (c.options.privateTables) {
    ASSERT_TRUE(readPlftFile(g, dir + "/fabric.plft", &err)) << where << ": " << err;
  }
  ASSERT_TRUE(readFdbFile(g, dir + "/fabric.fdbs", &err)) << where << ": " << err;

  ASSERT_EQ(g.nodes().size(), f.nodes().size()) << where;
  uint16_t maxLid = highestLid(f);
  for (const IBNode& a : f.nodes()) {
    const IBNode* b = g.getNode(a.nodeName);
    ASSERT_NE(b, nullptr) << where << " " << a.nodeName;
    EXPECT_EQ(b->nodeType, a.nodeType) << where << " " << a.nodeName;
    EXPECT_EQ(b->nodeGuid, a.nodeGuid) << where << " " << a.nodeName;
    EXPECT_EQ(b->description, a.description) << where << " " << a.nodeName;
    EXPECT_EQ(b->portCount, a.portCount) << where << " " << a.nodeName;
    EXPECT_EQ(b->lid, a.lid) << where << " " << a.nodeName;
    for (unsigned p = 1; p <= a.portCount; ++p) {
      const IBPort* pa = a.getPort(p);
      const IBPort* pb = b->getPort(p);
      ASSERT_NE(pa, nullptr) << where << " " << a.nodeName << " " << p;
      // An unlinked port is on no line of the topology: read back, it does
      // not exist.
      ASSERT_EQ(pb != nullptr, pa->remote != nullptr) << where << " " << pa->getName();
      if (!pa->remote) continue;
      EXPECT_EQ(pb->baseLid, pa->baseLid) << where << " " << pa->getName();
      EXPECT_EQ(pb->guid, pa->guid) << where << " " << pa->getName();
      EXPECT_EQ(pb->remote->getName(), pa->remote->getName()) << where << " " << pa->getName();
    }
    if (!a.isSwitch()) continue;
    for (unsigned p = 0; p <= a.portCount; ++p)
      EXPECT_EQ(b->tableForIngress(p), a.tableForIngress(p)) << where << " " << a.nodeName;
    for (uint8_t t = 0; t < a.lfts.size(); ++t) {
      int differ = 0;
      for (uint32_t lid = 0; lid <= maxLid; ++lid)
        differ += b->getLFTPortForLid(uint16_t(lid), t) != a.getLFTPortForLid(uint16_t(lid), t);
      EXPECT_EQ(differ, 0) << where << " " << a.nodeName << " table " << int(t);
    }
  }
  EXPECT_EQ(SubnMgtVerifyAllCaToCaRoutes(g, nullptr), 0) << where;
}

TEST(FabricGen, WrittenFilesReadBackAsTheSameFabric) {
  for (const Case& c : fabrics()) {
    expectRoundTrip(c, 'A');
    expectRoundTrip(c, 'B');
  }
}

TEST(FabricGen, EveryTopologyFormReadsBackAsTheSameFabric) {
  const TopologyForm forms[] = {TopologyForm::kLst, TopologyForm::kPlain, TopologyForm::kPorts};
  for (const Case& c : fabrics()) {
    IBFabric f = generatedFabric(c.options);
    std::string want = topologyText(f);
    for (TopologyForm form : forms) {
      std::string path = writeTestFile("topology", "");
      std::string err;
      ASSERT_TRUE(writeTopologyFile(f, path, form, &err)) << c.name << ": " << err;
      IBFabric g;
      ASSERT_TRUE(readLstFile(g, path, &err)) << c.name << ": " << err;
      EXPECT_TRUE(topologyText(g) == want) << c.name << " form " << int(form);
    }
  }
}

TEST(FabricGen, SameOptionsSameBytes) {
  GenOptions o = with(threeLevel(8), [](auto& o) {
    o.lmc = 1;
    o.privateTables = true;
  });
  for (char layout : {'A', 'B'}) {
    std::string files[2];
    for (int run = 0; run < 2; ++run) {
      IBFabric f = generatedFabric(o);
      std::string dir = makeTestDir(std::string(1, layout) + std::to_string(run));
      std::string err;
      ASSERT_TRUE(writeFabricFiles(f, dir, layout, &err)) << err;
      files[run] = readTestFile(dir + "/fabric.lst") + readTestFile(dir + "/fabric.fdbs") +
                   readTestFile(dir + "/fabric.plft");
    }
    EXPECT_GT(files[0].size(), 1000u) << layout;
    EXPECT_TRUE(files[0] == files[1]) << "layout " << layout;
  }
}

TEST(FabricGen, ShuffledLayoutScattersLidsAndNodesBySeed) {
  auto files = [](const GenOptions& o, const std::string& name) {
    std::string dir = writeGeneratedFabric(o, name);
    return readTestFile(dir + "/fabric.lst") + readTestFile(dir + "/fabric.fdbs");
  };
  GenOptions o = with(threeLevel(8), [](auto& o) {
    o.lmc = 1;
    o.shuffled = true;
    o.shuffleSeed = 3;
  });
  std::string first = files(o, "seed3a");
  EXPECT_TRUE(first == files(o, "seed3b"));
  o.shuffleSeed = 4;
  EXPECT_FALSE(first == files(o, "seed4"));

  // Every LID once, aligned host ranges, some left unused, and neither the
  // LIDs nor the node order follow the tree.
  GenSummary sum;
  IBFabric f = generatedFabric(o, &sum);
  std::set<uint16_t> lids;
  int hostsOutOfOrder = 0, switchesOutOfOrder = 0;
  uint16_t lastHost = 0, lastSwitch = 0;
  for (const IBNode& n : f.nodes()) {
    if (n.isSwitch()) {
      EXPECT_TRUE(lids.insert(n.lid).second) << n.nodeName;
      switchesOutOfOrder += n.lid < lastSwitch;
      lastSwitch = n.lid;
      continue;
    }
    uint16_t base = n.portTable[1]->baseLid;
    EXPECT_EQ(base % 2, 0) << n.nodeName;
    for (int k = 0; k < 2; ++k) EXPECT_TRUE(lids.insert(uint16_t(base + k)).second) << n.nodeName;
    hostsOutOfOrder += base < lastHost;
    lastHost = base;
  }
  EXPECT_EQ(lids.count(0), 0u);
  EXPECT_EQ(*lids.rbegin(), sum.maxLid);
  EXPECT_LT(lids.size() + 2, size_t{sum.maxLid});
  EXPECT_GT(hostsOutOfOrder, 10);
  EXPECT_GT(switchesOutOfOrder, 10);
  EXPECT_NE(f.nodes()[0].nodeName, "r01n01_HCA-1");
}

TEST(FabricGen, NoStalePrivateMapIsLeftBehind) {
  std::string dir = makeTestDir("folder");
  std::string err;
  IBFabric priv = generatedFabric(with(twoLevel(2, 2, 2), [](auto& o) { o.privateTables = true; }));
  ASSERT_TRUE(writeFabricFiles(priv, dir, 'A', &err)) << err;
  EXPECT_NE(readTestFile(dir + "/fabric.plft").find("dump_plft"), std::string::npos);
  IBFabric plain = generatedFabric(twoLevel(2, 2, 2));
  ASSERT_TRUE(writeFabricFiles(plain, dir, 'A', &err)) << err;
  EXPECT_EQ(readTestFile(dir + "/fabric.plft"), "<missing " + dir + "/fabric.plft>");
}

}  // namespace

namespace {

// Runs a shell command; returns its exit status and standard output.
int run(const std::string& command, std::string* out) {
  out->clear();
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::string kProgram = std::string(LINKDEAL_BINARY_DIR) + "/fabricgen";

TEST(FabricGenProgram, HelpNamesEveryOptionAndBadOptionsFail) {
  std::string out;
  ASSERT_EQ(run(kProgram + " --help", &out), 0);
  for (const char* option : {"--output",
                             "--levels",
                             "--radix",
                             "--hosts-per-leaf",
                             "--up-links",
                             "--parallel",
                             "--leaves",
                             "--pods",
                             "--hosts-per-rack",
                             "--lmc",
                             "--private-tables",
                             "--layout",
                             "--topology-format",
                             "--dead-port1-host",
                             "--version",
                             "--shuffle",
                             "--routing",
                             "--fault-missing-entry",
                             "--fault-loop",
                             "--fault-wrong-host",
                             "--help"})
    EXPECT_NE(out.find(option), std::string::npos) << option;

  ASSERT_EQ(run(kProgram + " -V", &out), 0);
  EXPECT_EQ(out, std::string("fabricgen version: ") + get_corvex_version() + "\n");

  const char* bad[] = {"",
                       "-o /tmp --bogus",
                       "-o /tmp --radix 3x",
                       "-o /tmp -m 8",
                       "-o /tmp --layout C",
                       "-o /tmp --shuffle x",
                       "-o /tmp --routing updn",
                       "-o /tmp --radix 255",
                       "-o /tmp stray",
                       "-o /dev/null/x --leaves 2"};
  for (const char* args : bad)
    EXPECT_EQ(run(kProgram + " " + args + " 2>/dev/null", &out), 1) << args;
}

TEST(FabricGenProgram, WritesWhatTheLibraryWrites) {
  // Missing parents of the folder are created too.
  std::string dir = makeTestDir("program") + "/new/folder";
  std::string out;
  ASSERT_EQ(run(kProgram + " -o " + dir + " --leaves 3 --hosts-per-leaf 2 --up-links 2 --lmc 1" +
                    " --private-tables --layout B",
                &out),
            0);
  EXPECT_NE(out.find("6 hosts, 5 switches"), std::string::npos) << out;
  GenOptions o;
  o.leaves = 3;
  o.hostsPerLeaf = 2;
  o.upLinks = 2;
  o.lmc = 1;
  o.privateTables = true;
  IBFabric f = generatedFabric(o);
  std::string lib = makeTestDir("library");
  std::string err;
  ASSERT_TRUE(writeFabricFiles(f, lib, 'B', &err)) << err;
  for (const char* file : {"/fabric.lst", "/fabric.fdbs", "/fabric.plft"})
    EXPECT_TRUE(readTestFile(dir + file) == readTestFile(lib + file)) << file;

  // Its summary lost on a full disk or a closed descriptor fails the run,
  // and no file takes the closed descriptor's place.
  for (const char* redirection : {">/dev/full", ">&-"}) {
    const std::string again = makeTestDir("again");
    EXPECT_EQ(run(kProgram + " -o " + again + " --leaves 3 --hosts-per-leaf 2 --up-links 2" +
                      " --lmc 1 --private-tables --layout B 2>/dev/null " + redirection,
                  &out),
              1)
        << redirection;
    for (const char* file : {"/fabric.lst", "/fabric.fdbs", "/fabric.plft"})
      EXPECT_TRUE(readTestFile(again + file) == readTestFile(lib + file)) << file << redirection;
  }
}

// The shipped example must be what its README's command writes.
TEST(FabricGenProgram, ShippedExampleIsUpToDate) {
  std::string example = std::string(LINKDEAL_SOURCE_DIR) + "/examples";
  std::string dir = makeTestDir("example");
  std::string out;
  ASSERT_EQ(
      run(kProgram + " -o " + dir + " --leaves 4 --hosts-per-leaf 4 --up-links 4 --parallel 2",
          &out),
      0);
  for (const char* file : {"/fabric.lst", "/fabric.fdbs"})
    EXPECT_TRUE(readTestFile(dir + file) == readTestFile(example + file))
        << file << " differs: regenerate examples/ with the command in examples/README.md";
}

}  // namespace
