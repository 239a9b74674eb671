// Fabrics built in memory for the search's tests and benchmark: fabricgen's
// fat trees, random switch graphs routed by shortest paths (complete and
// loop-free, optionally with a second private table behind some ingress
// ports), and small fabrics written out by hand.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "fabric/fabric.h"
#include "grouping/port_groups.h"
#include "tools/fabricgen.h"

// "prefix<n>", as node and group names.
inline std::string numbered(const char* prefix, unsigned long n) {
  std::string name(prefix);
  name += std::to_string(n);
  return name;
}

struct TestFabric {
  std::unique_ptr<IBFabric> fabric = std::make_unique<IBFabric>();
  std::vector<IBPort*> hosts;  // port 1 of every host, in creation order
  std::vector<int> hostGroup;  // a group number per host
};

// Every host port in the group named "g<number>".
inline PortGroups groupsOf(const TestFabric& t) {
  PortGroups groups;
  for (size_t i = 0; i < t.hosts.size(); ++i) {
    groups[numbered("g", t.hostGroup[i])].insert(t.hosts[i]);
  }
  return groups;
}

// A fabricgen fat tree with its hosts grouped by rack ("r<rack>n..." up to
// the 'n'): group numbers in rack order. Empty when fabricgen refuses.
inline TestFabric makeFatTree(int levels, int radix, uint16_t lmc = 0) {
  TestFabric t;
  GenOptions gen;
  gen.levels = levels;
  gen.radix = radix;
  gen.lmc = lmc;
  std::string err;
  if (!generateFabric(gen, *t.fabric, &err)) return t;
  std::map<std::string, int> racks;
  for (IBNode& node : t.fabric->nodes()) {
    if (node.isSwitch() || !node.getPort(1)) continue;
    const std::string rack = node.nodeName.substr(0, node.nodeName.find('n'));
    t.hosts.push_back(node.getPort(1));
    t.hostGroup.push_back(racks.emplace(rack, static_cast<int>(racks.size())).first->second);
  }
  return t;
}

struct RandomFabricParams {
  unsigned switches = 4;
  unsigned portsPerSwitch = 8;
  unsigned hosts = 10;
  unsigned extraLinks = 2;  // switch-to-switch links beyond a spanning tree
  unsigned groups = 3;
  uint16_t lmc = 0;
  bool privateTables = false;     // table 1 behind a random half of the ingress ports
  unsigned unlinkedHosts = 0;     // the last hosts get no link
  unsigned scrambledEntries = 0;  // forwarding entries set to random ports (loops, misdelivery)
};

// Ports per switch enough for the hosts and both ends of every switch link,
// spread evenly, plus spare.
inline unsigned portsForLinks(const RandomFabricParams& prm, unsigned spare) {
  return (prm.hosts + 2 * (prm.switches - 1 + prm.extraLinks)) / prm.switches + spare;
}

// A random connected switch graph with hosts on random free ports, LIDs in a
// random order, and forwarding along shortest paths (ties broken at random
// per LID and table), so every route is complete and loop-free.
inline TestFabric makeRandomFabric(const RandomFabricParams& prm, uint32_t seed) {
  std::mt19937 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  const unsigned S = prm.switches, P = prm.portsPerSwitch;
  std::vector<NodeDecl> decls;
  for (unsigned s = 0; s < S; ++s) {
    decls.push_back({IB_SW_NODE, numbered("sw", s), "", 0, 0, static_cast<uint8_t>(P), 0});
  }
  for (unsigned h = 0; h < prm.hosts; ++h) {
    decls.push_back({IB_CA_NODE, numbered("h", h), "", 0, 0, 1, 0});
  }
  TestFabric t;
  IBFabric& f = *t.fabric;
  f.createNodes(std::move(decls));
  IBNode* nodes = f.nodes().data();

  std::vector<std::vector<uint8_t>> freePorts(S);
  for (unsigned s = 0; s < S; ++s) {
    for (unsigned p = 1; p <= P; ++p) freePorts[s].push_back(static_cast<uint8_t>(p));
  }
  auto takePort = [&](unsigned s) -> IBPort* {
    if (freePorts[s].empty()) return nullptr;
    size_t i = pick(freePorts[s].size());
    uint8_t p = freePorts[s][i];
    freePorts[s].erase(freePorts[s].begin() + static_cast<long>(i));
    return nodes[s].getPort(p);
  };
  auto linkSwitches = [&](unsigned a, unsigned b) {
    if (a == b || freePorts[a].empty() || freePorts[b].empty()) return;
    IBFabric::link(takePort(a), takePort(b));
  };
  for (unsigned s = 1; s < S; ++s) linkSwitches(s, static_cast<unsigned>(pick(s)));
  for (unsigned i = 0; i < prm.extraLinks; ++i) {
    linkSwitches(static_cast<unsigned>(pick(S)), static_cast<unsigned>(pick(S)));
  }
  std::vector<unsigned> hostSwitch(prm.hosts);
  for (unsigned h = 0; h < prm.hosts; ++h) {
    IBPort* hp = nodes[S + h].getPort(1);
    std::vector<unsigned> open;
    for (unsigned s = 0; s < S; ++s) {
      if (!freePorts[s].empty()) open.push_back(s);
    }
    t.hosts.push_back(hp);
    t.hostGroup.push_back(static_cast<int>(pick(prm.groups)));
    if (open.empty() || h + prm.unlinkedHosts >= prm.hosts) continue;
    unsigned s = open[pick(open.size())];
    hostSwitch[h] = s;
    IBFabric::link(hp, takePort(s));
  }

  // LIDs: switches from 1, hosts after them in a random order.
  const unsigned lidsPer = 1u << prm.lmc;
  std::vector<unsigned> order(prm.hosts);
  for (unsigned h = 0; h < prm.hosts; ++h) order[h] = h;
  std::shuffle(order.begin(), order.end(), rng);
  for (unsigned s = 0; s < S; ++s) nodes[s].lid = static_cast<uint16_t>(1 + s);
  unsigned next = (S + lidsPer) / lidsPer * lidsPer;
  for (unsigned h : order) {
    nodes[S + h].getPort(1)->baseLid = static_cast<uint16_t>(next);
    next += lidsPer;
  }

  const unsigned numTables = prm.privateTables ? 2 : 1;
  if (prm.privateTables) {
    for (unsigned s = 0; s < S; ++s) {
      nodes[s].ingressTable.assign(P + 1, 0);
      for (unsigned p = 1; p <= P; ++p) nodes[s].ingressTable[p] = static_cast<uint8_t>(rng() % 2);
    }
  }
  // Shortest paths toward each host's switch; every LID of the host follows them.
  for (unsigned h = 0; h < prm.hosts; ++h) {
    IBPort* hp = nodes[S + h].getPort(1);
    if (!hp->remote) continue;
    const unsigned target = hostSwitch[h];
    std::vector<unsigned> dist(S, ~0u);
    std::queue<unsigned> bfs;
    dist[target] = 0;
    bfs.push(target);
    while (!bfs.empty()) {
      unsigned s = bfs.front();
      bfs.pop();
      for (unsigned p = 1; p <= P; ++p) {
        IBPort* port = nodes[s].getPort(p);
        if (!port->remote || !port->remote->owner->isSwitch()) continue;
        unsigned r = static_cast<unsigned>(port->remote->owner - nodes);
        if (dist[r] == ~0u) {
          dist[r] = dist[s] + 1;
          bfs.push(r);
        }
      }
    }
    for (unsigned k = 0; k < lidsPer; ++k) {
      const uint16_t lid = static_cast<uint16_t>(hp->baseLid + k);
      for (unsigned s = 0; s < S; ++s) {
        for (unsigned tbl = 0; tbl < numTables; ++tbl) {
          uint8_t out = kLftNoEntry;
          if (s == target) {
            out = hp->remote->portNumber;
          } else {
            std::vector<uint8_t> next;
            for (unsigned p = 1; p <= P; ++p) {
              IBPort* port = nodes[s].getPort(p);
              if (!port->remote || !port->remote->owner->isSwitch()) continue;
              unsigned r = static_cast<unsigned>(port->remote->owner - nodes);
              if (dist[r] + 1 == dist[s]) next.push_back(static_cast<uint8_t>(p));
            }
            if (!next.empty()) out = next[pick(next.size())];
          }
          nodes[s].setLFTPortForLid(lid, out, static_cast<uint8_t>(tbl));
        }
      }
    }
  }
  for (unsigned i = 0; i < prm.scrambledEntries && prm.hosts > 0; ++i) {
    IBPort* hp = nodes[S + pick(prm.hosts)].getPort(1);
    uint16_t lid = static_cast<uint16_t>(hp->baseLid + pick(lidsPer));
    nodes[pick(S)].setLFTPortForLid(lid, static_cast<uint8_t>(1 + pick(P)),
                                    static_cast<uint8_t>(pick(numTables)));
  }
  return t;
}

// Host port 1 of every host of a fabricgen fabric, grouped by rack: the name
// "r<rack>n<node>..." up to the 'n'.
inline PortGroups groupsByRack(const IBFabric& fabric) {
  PortGroups groups;
  for (const auto& [name, node] : fabric.nodeMap) {
    if (node->isSwitch() || !node->getPort(1)) continue;
    groups[name.substr(0, name.find('n'))].insert(node->getPort(1));
  }
  return groups;
}

// A small fabric written out by hand in a test: nodes first, then links,
// LIDs and forwarding entries by name.
class SmallFabric {
 public:
  struct Node {
    std::string name;
    bool isSwitch;
    uint8_t ports;
  };
  explicit SmallFabric(const std::vector<Node>& nodes) {
    std::vector<NodeDecl> decls;
    for (const Node& n : nodes) {
      decls.push_back({n.isSwitch ? IB_SW_NODE : IB_CA_NODE, n.name, "", 0, 0, n.ports, 0});
    }
    fabric.createNodes(std::move(decls));
  }
  IBPort* port(const std::string& node, unsigned n) { return fabric.getPort(node, n); }
  IBPort* host(const std::string& node) { return port(node, 1); }
  void link(const std::string& a, unsigned pa, const std::string& b, unsigned pb) {
    IBFabric::link(port(a, pa), port(b, pb));
  }
  void lid(const std::string& hostName, uint16_t lid) { host(hostName)->baseLid = lid; }
  // lid leaves switch sw through port out in the given table.
  void route(const std::string& sw, uint16_t lid, uint8_t out, uint8_t table = 0) {
    fabric.getNode(sw)->setLFTPortForLid(lid, out, table);
  }
  // Packets entering switch sw through port in use table t.
  void ingress(const std::string& sw, unsigned in, uint8_t t) {
    IBNode* node = fabric.getNode(sw);
    if (node->ingressTable.size() <= in) node->ingressTable.resize(in + 1, 0);
    node->ingressTable[in] = t;
  }
  uint32_t flows(const std::string& sw, unsigned n) { return port(sw, n)->flowCount; }

  IBFabric fabric;
};
