#include "plan/stage_bound.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The switch graph with, per switch, its coverable directed links to each
// neighbouring switch (out) and from it (in).
struct SwitchGraph {
  struct Edge {
    uint32_t to;
    uint32_t out;  // coverable egress ports of this switch towards to
    uint32_t in;   // coverable egress ports of to towards this switch
  };
  std::vector<const IBNode*> switches;
  std::vector<std::vector<Edge>> edges;
  std::vector<int32_t> ofNode;  // by node index, -1 for a host
};

SwitchGraph switchGraph(const IBFabric& fabric, const Coverable& c) {
  SwitchGraph g;
  const IBNode* first = fabric.nodes().data();
  const IBPort* firstPort = fabric.ports().data();
  g.ofNode.assign(fabric.nodes().size(), -1);
  for (const IBNode& n : fabric.nodes()) {
    if (!n.isSwitch()) continue;
    g.ofNode[static_cast<size_t>(&n - first)] = static_cast<int32_t>(g.switches.size());
    g.switches.push_back(&n);
  }
  g.edges.resize(g.switches.size());
  for (size_t s = 0; s < g.switches.size(); ++s) {
    const IBNode& n = *g.switches[s];
    for (unsigned p = 1; p <= n.portCount; ++p) {
      const IBPort* port = n.getPort(p);
      if (!port || !port->remote || !port->remote->owner->isSwitch()) continue;
      const uint32_t to =
          static_cast<uint32_t>(g.ofNode[static_cast<size_t>(port->remote->owner - first)]);
      if (to == s) continue;
      auto it = std::find_if(g.edges[s].begin(), g.edges[s].end(),
                             [&](const SwitchGraph::Edge& e) { return e.to == to; });
      if (it == g.edges[s].end()) it = g.edges[s].insert(g.edges[s].end(), {to, 0, 0});
      it->out += c.port[static_cast<size_t>(port - firstPort)];
      it->in += c.port[static_cast<size_t>(port->remote - firstPort)];
    }
  }
  return g;
}

uint32_t ceilDiv(uint64_t a, uint64_t b) {
  return static_cast<uint32_t>((a + b - 1) / b);
}

struct Cut {
  uint64_t hosts = 0;   // the group's senders (receivers) inside
  uint64_t others = 0;  // other groups' receivers (senders) inside
  uint64_t links = 0;   // coverable directed links leaving (entering) the set
  uint32_t switches = 0;
  // hosts / (others + n x links), compared without dividing; 0 when nothing
  // can be sent at all.
  bool beats(const Cut& o, uint64_t n) const {
    const uint64_t d = others + n * links, od = o.others + n * o.links;
    if (d == 0) return false;
    return od == 0 || hosts * od > o.hosts * d;
  }
};

}  // namespace

void tightenLowerBound(const IBFabric& fabric, const PortGroups& groups, uint32_t maxFlows,
                       Coverable& c) {
  if (c.lowerBound == 0 || maxFlows == 0) return;
  const SwitchGraph g = switchGraph(fabric, c);
  const IBNode* first = fabric.nodes().data();
  const size_t numSwitches = g.switches.size();
  // Per switch, the hosts that send and receive, of all groups.
  std::vector<int32_t> switchOf(c.hosts.size(), -1);
  std::vector<uint64_t> sendAll(numSwitches, 0), receiveAll(numSwitches, 0);
  uint64_t sendTotal = 0, receiveTotal = 0;
  for (size_t i = 0; i < c.hosts.size(); ++i) {
    const IBPort* p = c.hosts[i];
    if (!p->remote || !p->remote->owner->isSwitch()) continue;
    const int32_t s = g.ofNode[static_cast<size_t>(p->remote->owner - first)];
    switchOf[i] = s;
    sendAll[static_cast<size_t>(s)] += c.send[i];
    receiveAll[static_cast<size_t>(s)] += c.receive[i];
    sendTotal += c.send[i];
    receiveTotal += c.receive[i];
  }
  std::vector<std::string> names;
  for (const auto& [name, ports] : groups) names.push_back(name);

  const std::string perPort = ", at most " + std::to_string(maxFlows) +
                              (maxFlows == 1 ? " pair" : " pairs") + " per link and stage";
  auto consider = [&](const Cut& cut, int32_t group, bool sending) {
    const uint64_t d = cut.others + uint64_t{maxFlows} * cut.links;
    if (cut.hosts == 0 || d == 0) return;
    const uint32_t bound = ceilDiv(cut.hosts, d);
    if (bound <= c.lowerBound) return;
    c.lowerBound = bound;
    const std::string where =
        std::to_string(cut.switches) + (cut.switches == 1 ? " switch" : " switches");
    const std::string hosts = "group " + names[static_cast<size_t>(group)] + ": its " +
                              std::to_string(cut.hosts) +
                              (sending ? " sending hosts" : " receiving hosts");
    const std::string others = std::to_string(cut.others) + (sending ? " receiver" : " sender") +
                               (cut.others == 1 ? "" : "s") + " of other groups";
    if (cut.switches == numSwitches) {
      c.boundReason = hosts + " can pair only with " + others + ", each in one pair per stage";
      return;
    }
    c.boundReason = hosts + " behind " + where + " pair with other groups only through " + others +
                    " beside them and " + std::to_string(cut.links) +
                    (sending ? " directed links out" : " directed links in") + perPort;
  };

  std::vector<uint64_t> own(numSwitches, 0), ownOther(numSwitches, 0);
  std::vector<uint8_t> inSet(numSwitches, 0);
  size_t begin = 0;
  for (int32_t group = 0; begin < c.hosts.size(); ++group) {
    size_t end = begin;
    while (end < c.hosts.size() && c.hostGroup[end] == group) ++end;
    for (bool sending : {true, false}) {
      // The whole fabric: the group rule alone.
      Cut all;
      all.switches = static_cast<uint32_t>(numSwitches);
      uint64_t ownOtherSide = 0;  // the group's hosts that other groups' hosts pair with
      for (size_t i = begin; i < end; ++i) {
        all.hosts += sending ? c.send[i] : c.receive[i];
        ownOtherSide += sending ? c.receive[i] : c.send[i];
      }
      all.others = (sending ? receiveTotal : sendTotal) - ownOtherSide;
      consider(all, group, sending);

      // Grown from the group's own switches.
      std::fill(own.begin(), own.end(), 0);
      std::fill(inSet.begin(), inSet.end(), 0);
      Cut cut;
      for (size_t i = begin; i < end; ++i) {
        if (switchOf[i] < 0 || !(sending ? c.send[i] : c.receive[i])) continue;
        ++own[static_cast<size_t>(switchOf[i])];
      }
      // By switch: the group's hosts on the other side of a pair, which
      // other groups' hosts do not pair with.
      std::fill(ownOther.begin(), ownOther.end(), 0);
      for (size_t i = begin; i < end; ++i) {
        if (switchOf[i] >= 0)
          ownOther[static_cast<size_t>(switchOf[i])] += sending ? c.receive[i] : c.send[i];
      }
      // Switch s joins the set k: the links between it and the set are
      // inside now, its links to the rest cross the cut.
      auto add = [&](Cut& k, size_t s) {
        k.hosts += own[s];
        k.others += (sending ? receiveAll[s] : sendAll[s]) - ownOther[s];
        ++k.switches;
        for (const SwitchGraph::Edge& e : g.edges[s]) {
          if (inSet[e.to])
            k.links -= sending ? e.in : e.out;
          else
            k.links += sending ? e.out : e.in;
        }
      };
      for (size_t s = 0; s < numSwitches; ++s) {
        if (own[s] == 0) continue;
        add(cut, s);
        inSet[s] = 1;
      }
      consider(cut, group, sending);
      for (uint32_t step = 0; step < 64; ++step) {
        int64_t best = -1;
        Cut bestCut;
        for (size_t s = 0; s < numSwitches; ++s) {
          if (!inSet[s]) continue;
          for (const SwitchGraph::Edge& e : g.edges[s]) {
            if (inSet[e.to]) continue;
            Cut k = cut;
            add(k, e.to);
            if (k.beats(best < 0 ? cut : bestCut, maxFlows)) {
              best = e.to;
              bestCut = k;
            }
          }
        }
        if (best < 0) break;
        inSet[static_cast<size_t>(best)] = 1;
        cut = bestCut;
        consider(cut, group, sending);
      }
    }
    begin = end;
  }
}
