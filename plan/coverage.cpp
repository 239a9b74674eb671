#include "plan/coverage.h"

#include <algorithm>
#include <array>
#include <string>

#include "search/lid_map.h"

namespace {

Hosts indexHosts(const PlanRoutes& routes, Coverable& c, const PortGroups& groups,
                 const PlanSettings& settings) {
  Hosts h;
  int32_t group = 0;
  for (const auto& [name, ports] : groups) {
    for (IBPort* p : ports) {
      c.hosts.push_back(p);
      c.hostGroup.push_back(group);
    }
    ++group;
  }
  const size_t n = c.hosts.size();
  h.ofLid.assign(size_t{1} << 16, -1);
  h.ofPort.assign(routes.fabric.ports().size(), -1);
  h.origin.assign(n, -1);
  c.sendGap.assign(n, HostGap::kNone);
  c.receiveGap.assign(n, HostGap::kNone);
  std::vector<int32_t> originOfState(routes.states.size(), -1);
  const uint32_t lids = settings.anyLid ? lidsPerPort(settings.lmc) : 1;
  for (size_t i = 0; i < n; ++i) {
    const IBPort* p = c.hosts[i];
    h.ofPort[routes.portIndex(p)] = static_cast<int32_t>(i);
    // LIDs wrap past 2^16 - 1 to 0, and a later host takes over a LID that
    // two claim, as the search's LID map does.
    if (p->baseLid == 0) c.receiveGap[i] = HostGap::kNoLid;
    for (uint32_t k = 0; k < lids && p->baseLid != 0; ++k)
      h.ofLid[static_cast<uint16_t>(p->baseLid + k)] = static_cast<int32_t>(i);
    HostGap gap = HostGap::kNone;
    uint32_t state = ForwardingStates::kNoState;
    if (!p->remote) {
      gap = HostGap::kNoLink;
    } else if (!p->remote->owner->isSwitch()) {
      gap = HostGap::kNoSwitch;
    } else {
      state = routes.states.stateFor(*p->remote);
    }
    if (gap != HostGap::kNone) {
      c.sendGap[i] = gap;
      if (c.receiveGap[i] == HostGap::kNone) c.receiveGap[i] = gap;
      continue;
    }
    int32_t& o = originOfState[state];
    if (o < 0) {
      o = static_cast<int32_t>(h.origins.size());
      h.origins.emplace_back().state = state;
    }
    h.origin[i] = o;
    Origin& origin = h.origins[static_cast<size_t>(o)];
    ++origin.total;
    if (origin.groups.empty() || origin.groups.back().first != c.hostGroup[i])
      origin.groups.emplace_back(c.hostGroup[i], 0);
    ++origin.groups.back().second;
  }
  return h;
}

// Per target LID, the routes from every origin, each state resolved once:
// how many links remain to the destination, whether a valid pair's route has
// crossed it, and whether every port from it on is crossed by routes from
// other switches than the source's own.
class RouteMarker {
 public:
  RouteMarker(const PlanRoutes& routes, Coverable& c)
      : r_(routes),
        c_(c),
        resolved_(routes.states.size(), 0),
        walking_(routes.states.size(), 0),
        marked_(routes.states.size(), 0),
        foreignTail_(routes.states.size(), 0),
        remaining_(routes.states.size(), 0),
        foreign(routes.fabric.ports().size(), 0),
        linksBeyond(routes.fabric.ports().size(), 0),
        routesThrough(routes.fabric.ports().size(), 0) {}

  void nextLid(uint16_t lid, const IBPort* dst) {
    lid_ = lid;
    dst_ = dst;
    ++stamp_;
  }

  // Links from state's switch to the destination, 0 when the route is broken
  // (a dead end, a loop or another host).
  uint32_t linksToDst(uint32_t state) {
    if (resolved_[state] == stamp_) return remaining_[state];
    walk_.clear();
    uint32_t last = 0;
    for (uint32_t s = state;;) {
      walking_[s] = stamp_;
      walk_.push_back(s);
      const IBPort* out = r_.states.linkedEgress(s, lid_);
      if (!out) break;
      const IBPort* next = out->remote;
      if (!next->owner->isSwitch()) {
        last = next == dst_ ? 1 : 0;
        break;
      }
      const uint32_t ns = r_.states.stateFor(*next);
      // Every state of an earlier walk is resolved; one of this walk is a loop.
      if (resolved_[ns] == stamp_) {
        last = remaining_[ns] ? remaining_[ns] + 1 : 0;
        break;
      }
      if (walking_[ns] == stamp_) break;
      s = ns;
    }
    for (size_t i = walk_.size(); i-- > 0;) {
      resolved_[walk_[i]] = stamp_;
      remaining_[walk_[i]] = last;
      if (last) ++last;
    }
    return remaining_[state];
  }

  // Marks the ports of the (complete) route from an origin's state as
  // coverable.
  void mark(uint32_t state) {
    const IBNode* own = &r_.states.node(state);
    walk_.clear();
    uint32_t s = state;
    bool merged = false;
    for (;;) {
      if (marked_[s] == stamp_) {
        merged = true;
        break;
      }
      marked_[s] = stamp_;
      walk_.push_back(s);
      const IBPort* out = r_.states.linkedEgress(s, lid_);
      const size_t e = r_.portIndex(out);
      c_.port[e] = 1;
      if (&r_.states.node(s) != own) foreign[e] = 1;
      linksBeyond[e] += remaining_[s] - 1;
      ++routesThrough[e];
      if (!out->remote->owner->isSwitch()) break;
      s = r_.states.stateFor(*out->remote);
    }
    // The rest of the route was marked from another origin: these sources
    // cross it too.
    for (uint32_t m = s; merged && foreignTail_[m] != stamp_;) {
      foreignTail_[m] = stamp_;
      const IBPort* out = r_.states.linkedEgress(m, lid_);
      foreign[r_.portIndex(out)] = 1;
      if (!out->remote->owner->isSwitch()) break;
      m = r_.states.stateFor(*out->remote);
    }
    bool tailForeign = true;
    for (size_t i = walk_.size(); i-- > 0;) {
      tailForeign = tailForeign && foreign[r_.portIndex(r_.states.linkedEgress(walk_[i], lid_))];
      if (tailForeign) foreignTail_[walk_[i]] = stamp_;
    }
  }

 private:
  const PlanRoutes& r_;
  Coverable& c_;
  uint32_t stamp_ = 0;
  uint16_t lid_ = 0;
  const IBPort* dst_ = nullptr;
  std::vector<uint32_t> resolved_, walking_, marked_, foreignTail_;
  std::vector<uint32_t> remaining_;
  std::vector<uint32_t> walk_;

 public:
  // By port index: crossed by a valid pair's route that started at another
  // switch (or possibly so).
  std::vector<uint8_t> foreign;
  // By port index: links crossed after the port, summed over the routes
  // marked through it, and how many routes those were.
  std::vector<uint64_t> linksBeyond;
  std::vector<uint32_t> routesThrough;
};

// What the lower bound on the stage count is drawn from.
struct BoundFacts {
  std::vector<uint8_t> foreign;   // by port: crossed by a route from another switch's hosts
  std::vector<uint8_t> firstHop;  // by port: the first egress port of some valid route
  std::vector<uint8_t> local;     // by node: a valid pair has both hosts on the switch
};

uint32_t ceilDiv(uint64_t a, uint64_t b) {
  return static_cast<uint32_t>((a + b - 1) / b);
}

// Three ways a switch forces stages: in one stage each host sends once and
// receives once, and each egress port carries at most maxFlows pairs. So the
// egress ports that only the switch's own hosts' traffic crosses need that
// many sends, its hosts' sends all leave through the egress ports their
// routes start on, and its hosts' receives (when no valid pair stays on the
// switch) all arrive over its links from other switches.
void findLowerBound(const PlanRoutes& routes, const Hosts& h, Coverable& c, const BoundFacts& f,
                    uint32_t maxFlows) {
  if (c.links == 0 && c.coverableHosts == 0) return;
  c.lowerBound = 1;
  c.boundReason = "every coverable link and host needs a stage";
  const size_t nodes = routes.fabric.nodes().size();
  std::vector<uint32_t> senders(nodes, 0);
  std::vector<uint32_t> receivers(nodes, 0);
  for (size_t i = 0; i < c.hosts.size(); ++i) {
    if (h.origin[i] < 0) continue;
    const size_t sw =
        routes.nodeIndex(routes.states.node(h.origins[static_cast<size_t>(h.origin[i])].state));
    senders[sw] += c.send[i];
    receivers[sw] += c.receive[i];
  }
  auto consider = [&](uint32_t bound, const std::string& reason) {
    if (bound <= c.lowerBound) return;
    c.lowerBound = bound;
    c.boundReason = reason;
  };
  const std::string perPort = ", at most " + std::to_string(maxFlows) +
                              (maxFlows == 1 ? " pair" : " pairs") + " per port and stage";
  for (const IBNode& node : routes.fabric.nodes()) {
    if (!node.isSwitch()) continue;
    const size_t sw = routes.nodeIndex(node);
    uint32_t ownOnly = 0, exits = 0, entries = 0;
    for (unsigned n = 1; n <= node.portCount; ++n) {
      const IBPort* p = node.getPort(n);
      if (!p) continue;
      const size_t e = routes.portIndex(p);
      ownOnly += c.port[e] && !f.foreign[e];
      exits += f.firstHop[e];
      if (p->remote && p->remote->owner->isSwitch()) entries += c.port[routes.portIndex(p->remote)];
    }
    const std::string name = "switch " + node.nodeName + ": ";
    const uint32_t s = senders[sw];
    if (s > 0 && ownOnly > 0) {
      // A route may pass a switch once per forwarding table it uses there.
      std::array<bool, 256> used{};
      used[0] = true;
      for (uint8_t t : node.ingressTable) used[t] = true;
      const uint32_t passes = static_cast<uint32_t>(std::count(used.begin(), used.end(), true));
      consider(
          ceilDiv(ownOnly, uint64_t{s} * passes),
          name + std::to_string(ownOnly) + " egress ports carry only the traffic of its " +
              std::to_string(s) + " hosts, and a host sends once per stage" +
              (passes > 1 ? " (a route may pass it " + std::to_string(passes) + " times)" : ""));
    }
    if (s > 0 && exits > 0) {
      consider(ceilDiv(s, uint64_t{exits} * maxFlows),
               name + "its " + std::to_string(s) + " sending hosts leave through " +
                   std::to_string(exits) + " egress ports" + perPort);
    }
    if (receivers[sw] > 0 && entries > 0 && !f.local[sw]) {
      consider(ceilDiv(receivers[sw], uint64_t{entries} * maxFlows),
               name + "its " + std::to_string(receivers[sw]) +
                   " receiving hosts are reached over " + std::to_string(entries) + " links" +
                   perPort);
    }
  }
}

}  // namespace

Coverable coverableOf(const PlanRoutes& routes, const PortGroups& groups,
                      const PlanSettings& settings, Hosts& h) {
  Coverable c;
  h = indexHosts(routes, c, groups, settings);
  const size_t n = c.hosts.size();
  c.port.assign(routes.fabric.ports().size(), 0);
  c.send.assign(n, 0);
  c.receive.assign(n, 0);
  RouteMarker marker(routes, c);
  BoundFacts facts;
  facts.firstHop.assign(c.port.size(), 0);
  facts.local.assign(routes.fabric.nodes().size(), 0);
  // With no port allowed a flow, no pair is valid.
  for (uint32_t lid = 0; lid < h.ofLid.size() && settings.maxFlows > 0; ++lid) {
    const int32_t dst = h.ofLid[lid];
    if (dst < 0 || h.origin[static_cast<size_t>(dst)] < 0) continue;
    const int32_t dstGroup = c.hostGroup[static_cast<size_t>(dst)];
    const IBPort* dstPort = c.hosts[static_cast<size_t>(dst)];
    marker.nextLid(static_cast<uint16_t>(lid), dstPort);
    const IBNode& dstSwitch = *dstPort->remote->owner;
    for (Origin& o : h.origins) {
      if (o.hostsOutside(dstGroup) == 0) continue;
      const uint32_t links = marker.linksToDst(o.state);
      if (links == 0 || links + 1 < settings.minDist) continue;
      marker.mark(o.state);
      facts.firstHop[routes.portIndex(
          routes.states.linkedEgress(o.state, static_cast<uint16_t>(lid)))] = 1;
      if (&routes.states.node(o.state) == &dstSwitch) facts.local[routes.nodeIndex(dstSwitch)] = 1;
      c.receive[static_cast<size_t>(dst)] = 1;
      if (o.firstGroupReached < 0) o.firstGroupReached = dstGroup;
      if (o.firstGroupReached != dstGroup) o.severalGroupsReached = true;
    }
  }

  const bool oneGroup = groups.size() < 2;
  for (size_t i = 0; i < n; ++i) {
    if (h.origin[i] >= 0) {
      const Origin& o = h.origins[static_cast<size_t>(h.origin[i])];
      c.send[i] = o.severalGroupsReached ||
                  (o.firstGroupReached >= 0 && o.firstGroupReached != c.hostGroup[i]);
    }
    const HostGap missing = oneGroup ? HostGap::kNoOtherGroup : HostGap::kNoRoute;
    if (!c.send[i] && c.sendGap[i] == HostGap::kNone) c.sendGap[i] = missing;
    if (!c.receive[i] && c.receiveGap[i] == HostGap::kNone) c.receiveGap[i] = missing;
    c.coverableHosts += c.send[i] || c.receive[i];
    c.links += c.send[i];
  }
  for (const IBNode& node : routes.fabric.nodes()) {
    if (!node.isSwitch()) continue;
    for (unsigned p = 1; p <= node.portCount; ++p) {
      const IBPort* port = node.getPort(p);
      if (!port || !port->remote) continue;
      if (c.port[routes.portIndex(port)])
        ++c.links;
      else
        c.idlePorts.push_back(port);
    }
  }
  facts.foreign = std::move(marker.foreign);
  findLowerBound(routes, h, c, facts, settings.maxFlows);
  h.linksBeyond.assign(c.port.size(), 0);
  for (size_t e = 0; e < c.port.size(); ++e) {
    if (marker.routesThrough[e])
      h.linksBeyond[e] =
          static_cast<uint32_t>(16 * marker.linksBeyond[e] / marker.routesThrough[e]);
  }
  return c;
}

Coverable findCoverable(const IBFabric& fabric, const PortGroups& groups,
                        const PlanSettings& settings) {
  PlanRoutes routes(fabric);
  Hosts hosts;
  return coverableOf(routes, groups, settings, hosts);
}
