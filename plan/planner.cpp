#include "plan/planner.h"

#include <algorithm>
#include <array>
#include <deque>
#include <random>
#include <span>

#include "search/lid_map.h"

namespace {

constexpr uint32_t kTables = kMaxLftTables;
constexpr uint32_t kNoState = UINT32_MAX;

// Routing seen as states: a switch entered with one of its forwarding tables.
// The route of a LID from a state is fixed, so states are what the walks below
// remember things by.
struct Routing {
  explicit Routing(const IBFabric& f)
      : fabric(f), firstNode(f.nodes().data()), firstPort(f.ports().data()) {
    switchOfNode.assign(f.nodes().size(), UINT32_MAX);
    for (const IBNode& node : f.nodes()) {
      if (!node.isSwitch()) continue;
      switchOfNode[static_cast<size_t>(&node - firstNode)] = static_cast<uint32_t>(switches.size());
      switches.push_back(&node);
    }
  }

  size_t portIndex(const IBPort* p) const { return static_cast<size_t>(p - firstPort); }
  size_t numStates() const { return switches.size() * kTables; }
  const IBNode& nodeOf(uint32_t state) const { return *switches[state / kTables]; }
  // The state of a switch entered through port in.
  uint32_t stateOf(const IBPort& in) const {
    const uint8_t table = in.owner->tableForIngress(in.portNumber);
    if (table >= kTables) return kNoState;
    return switchOfNode[static_cast<size_t>(in.owner - firstNode)] * kTables + table;
  }
  // The linked egress port that state forwards lid to, or null.
  const IBPort* egress(uint32_t state, uint16_t lid) const {
    const IBNode& node = nodeOf(state);
    const uint8_t p = node.getLFTPortForLid(lid, static_cast<uint8_t>(state % kTables));
    if (p == 0 || p > node.portCount) return nullptr;
    const IBPort* port = node.getPort(p);
    return port && port->remote ? port : nullptr;
  }

  const IBFabric& fabric;
  const IBNode* firstNode;
  const IBPort* firstPort;
  std::vector<const IBNode*> switches;  // states are numbered switch by switch
  std::vector<uint32_t> switchOfNode;   // by node index
};

// A source's first switch state, shared by every grouped host cabled into it
// through ports with the same table.
struct Origin {
  uint32_t state = kNoState;
  uint32_t total = 0;                                // grouped hosts starting here
  std::vector<std::pair<int32_t, uint32_t>> groups;  // (group, hosts) among them
  int32_t firstGroupReached = -1;                    // a destination group of a valid pair
  bool severalGroupsReached = false;

  uint32_t hostsOutside(int32_t group) const {
    for (const auto& [g, n] : groups)
      if (g == group) return total - n;
    return total;
  }
};

// What both steps share: the hosts, the LIDs pairs may aim at, and the
// origins of the sources.
struct Hosts {
  std::vector<int32_t> ofLid;   // 2^16 entries: the host a target LID reaches, or -1
  std::vector<int32_t> ofPort;  // by port index: host index of a grouped port, or -1
  std::vector<int32_t> origin;  // by host: its origin, or -1 without a switch link
  std::vector<Origin> origins;
  // By port index: how many links valid routes cross after this port, on
  // average, in sixteenths. Longer routes cover more per pair.
  std::vector<uint32_t> linksBeyond;
};

Hosts indexHosts(const Routing& routing, Coverable& c, const PortGroups& groups,
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
  h.ofPort.assign(routing.fabric.ports().size(), -1);
  h.origin.assign(n, -1);
  c.sendGap.assign(n, HostGap::kNone);
  c.receiveGap.assign(n, HostGap::kNone);
  std::vector<int32_t> originOfState(routing.numStates(), -1);
  const uint32_t lids = settings.anyLid ? lidsPerPort(settings.lmc) : 1;
  for (size_t i = 0; i < n; ++i) {
    const IBPort* p = c.hosts[i];
    h.ofPort[routing.portIndex(p)] = static_cast<int32_t>(i);
    // LIDs wrap past 2^16 - 1 to 0, and a later host takes over a LID that
    // two claim, as the search's LID map does.
    if (p->baseLid == 0) c.receiveGap[i] = HostGap::kNoLid;
    for (uint32_t k = 0; k < lids && p->baseLid != 0; ++k)
      h.ofLid[static_cast<uint16_t>(p->baseLid + k)] = static_cast<int32_t>(i);
    HostGap gap = HostGap::kNone;
    uint32_t state = kNoState;
    if (!p->remote) {
      gap = HostGap::kNoLink;
    } else if (!p->remote->owner->isSwitch()) {
      gap = HostGap::kNoSwitch;
    } else {
      state = routing.stateOf(*p->remote);
      if (state == kNoState) gap = HostGap::kNoRoute;
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
  RouteMarker(const Routing& routing, Coverable& c)
      : r_(routing),
        c_(c),
        resolved_(routing.numStates(), 0),
        walking_(routing.numStates(), 0),
        marked_(routing.numStates(), 0),
        foreignTail_(routing.numStates(), 0),
        remaining_(routing.numStates(), 0),
        foreign(routing.fabric.ports().size(), 0),
        linksBeyond(routing.fabric.ports().size(), 0),
        routesThrough(routing.fabric.ports().size(), 0) {}

  void nextLid(uint16_t lid, const IBPort* dst) {
    lid_ = lid;
    dst_ = dst;
    ++stamp_;
  }

  // Links from state's switch to the destination, 0 when the route is broken
  // (no entry, no link, a loop, another host, or too long).
  uint32_t linksToDst(uint32_t state) {
    if (resolved_[state] == stamp_) return remaining_[state];
    walk_.clear();
    uint32_t last = 0;
    for (uint32_t s = state;;) {
      walking_[s] = stamp_;
      walk_.push_back(s);
      const IBPort* out = r_.egress(s, lid_);
      if (!out) break;
      const IBPort* next = out->remote;
      if (!next->owner->isSwitch()) {
        last = next == dst_ ? 1 : 0;
        break;
      }
      const uint32_t ns = r_.stateOf(*next);
      if (ns == kNoState) break;
      // Every state of an earlier walk is resolved; one of this walk is a loop.
      if (resolved_[ns] == stamp_) {
        last = remaining_[ns] ? remaining_[ns] + 1 : 0;
        break;
      }
      if (walking_[ns] == stamp_ || walk_.size() >= kMaxRouteLinks) break;
      s = ns;
    }
    for (size_t i = walk_.size(); i-- > 0;) {
      if (last > kMaxRouteLinks) last = 0;
      resolved_[walk_[i]] = stamp_;
      remaining_[walk_[i]] = last;
      if (last) ++last;
    }
    return remaining_[state];
  }

  // Marks the ports of the (complete) route from an origin's state as
  // coverable.
  void mark(uint32_t state) {
    const IBNode* own = &r_.nodeOf(state);
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
      const IBPort* out = r_.egress(s, lid_);
      const size_t e = r_.portIndex(out);
      c_.port[e] = 1;
      if (&r_.nodeOf(s) != own) foreign[e] = 1;
      linksBeyond[e] += remaining_[s] - 1;
      ++routesThrough[e];
      if (!out->remote->owner->isSwitch()) break;
      s = r_.stateOf(*out->remote);
    }
    // The rest of the route was marked from another origin: these sources
    // cross it too.
    for (uint32_t m = s; merged && foreignTail_[m] != stamp_;) {
      foreignTail_[m] = stamp_;
      const IBPort* out = r_.egress(m, lid_);
      foreign[r_.portIndex(out)] = 1;
      if (!out->remote->owner->isSwitch()) break;
      m = r_.stateOf(*out->remote);
    }
    bool tailForeign = true;
    for (size_t i = walk_.size(); i-- > 0;) {
      tailForeign = tailForeign && foreign[r_.portIndex(r_.egress(walk_[i], lid_))];
      if (tailForeign) foreignTail_[walk_[i]] = stamp_;
    }
  }

 private:
  const Routing& r_;
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

// What the lower bound on the stage count is drawn from, per switch.
struct BoundFacts {
  std::vector<uint8_t> foreign;   // by port: crossed by a route from another switch's hosts
  std::vector<uint8_t> firstHop;  // by port: the first egress port of some valid route
  std::vector<uint8_t> local;     // by switch: a valid pair has both hosts on it
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
void findLowerBound(const Routing& routing, const Hosts& h, Coverable& c, const BoundFacts& f,
                    uint32_t maxFlows) {
  if (c.links == 0 && c.coverableHosts == 0) return;
  c.lowerBound = 1;
  c.boundReason = "every coverable link and host needs a stage";
  std::vector<uint32_t> senders(routing.switches.size(), 0);
  std::vector<uint32_t> receivers(routing.switches.size(), 0);
  for (size_t i = 0; i < c.hosts.size(); ++i) {
    if (h.origin[i] < 0) continue;
    const uint32_t sw = h.origins[static_cast<size_t>(h.origin[i])].state / kTables;
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
  for (size_t sw = 0; sw < routing.switches.size(); ++sw) {
    const IBNode& node = *routing.switches[sw];
    uint32_t ownOnly = 0, exits = 0, entries = 0;
    for (unsigned n = 1; n <= node.portCount; ++n) {
      const IBPort* p = node.getPort(n);
      if (!p) continue;
      const size_t e = routing.portIndex(p);
      ownOnly += c.port[e] && !f.foreign[e];
      exits += f.firstHop[e];
      if (p->remote && p->remote->owner->isSwitch())
        entries += c.port[routing.portIndex(p->remote)];
    }
    const std::string name = "switch " + node.nodeName + ": ";
    const uint32_t s = senders[sw];
    if (s > 0 && ownOnly > 0) {
      // A route may pass a switch once per forwarding table it uses there.
      std::array<bool, kTables> used{};
      used[0] = true;
      for (uint8_t t : node.ingressTable) used[t % kTables] = true;
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

Coverable coverableOf(const Routing& routing, const PortGroups& groups,
                      const PlanSettings& settings, Hosts& h) {
  Coverable c;
  h = indexHosts(routing, c, groups, settings);
  const size_t n = c.hosts.size();
  c.port.assign(routing.fabric.ports().size(), 0);
  c.send.assign(n, 0);
  c.receive.assign(n, 0);
  RouteMarker marker(routing, c);
  BoundFacts facts;
  facts.firstHop.assign(c.port.size(), 0);
  facts.local.assign(routing.switches.size(), 0);
  // With no port allowed a flow, no pair is valid.
  for (uint32_t lid = 0; lid < h.ofLid.size() && settings.maxFlows > 0; ++lid) {
    const int32_t dst = h.ofLid[lid];
    if (dst < 0 || h.origin[static_cast<size_t>(dst)] < 0) continue;
    const int32_t dstGroup = c.hostGroup[static_cast<size_t>(dst)];
    const IBPort* dstPort = c.hosts[static_cast<size_t>(dst)];
    marker.nextLid(static_cast<uint16_t>(lid), dstPort);
    const uint32_t dstSwitch = routing.stateOf(*dstPort->remote) / kTables;
    for (Origin& o : h.origins) {
      if (o.hostsOutside(dstGroup) == 0) continue;
      const uint32_t links = marker.linksToDst(o.state);
      if (links == 0 || links + 1 < settings.minDist) continue;
      marker.mark(o.state);
      facts.firstHop[routing.portIndex(routing.egress(o.state, static_cast<uint16_t>(lid)))] = 1;
      if (o.state / kTables == dstSwitch) facts.local[dstSwitch] = 1;
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
  for (const IBNode& node : routing.fabric.nodes()) {
    if (!node.isSwitch()) continue;
    for (unsigned p = 1; p <= node.portCount; ++p) {
      const IBPort* port = node.getPort(p);
      if (!port || !port->remote) continue;
      if (c.port[routing.portIndex(port)])
        ++c.links;
      else
        c.idlePorts.push_back(port);
    }
  }
  facts.foreign = std::move(marker.foreign);
  findLowerBound(routing, h, c, facts, settings.maxFlows);
  h.linksBeyond.assign(c.port.size(), 0);
  for (size_t e = 0; e < c.port.size(); ++e) {
    if (marker.routesThrough[e])
      h.linksBeyond[e] =
          static_cast<uint32_t>(16 * marker.linksBeyond[e] / marker.routesThrough[e]);
  }
  return c;
}

// One stage after another: each source in turn walks the forwarding paths
// from its first switch depth-first, carrying the free destination LIDs,
// trying uncovered egress ports first and then the least loaded, and takes
// the first free host of another group whose pair covers something new.
class Stager {
 public:
  Stager(const Routing& routing, const Hosts& hosts, const Coverable& c,
         const PlanSettings& settings)
      : r_(routing),
        h_(hosts),
        c_(c),
        settings_(settings),
        load_(routing.fabric.ports().size(), 0),
        covered_(routing.fabric.ports().size(), 0),
        onPath_(routing.numStates(), 0),
        sent_(c.hosts.size(), 0),
        received_(c.hosts.size(), 0),
        done_(c.hosts.size(), 0),
        takenInStage_(c.hosts.size(), 0),
        originLids_(hosts.origins.size()) {
    // Ports no valid pair can cross are not worth steering towards.
    for (size_t e = 0; e < covered_.size(); ++e) {
      covered_[e] = !c.port[e];
      left_ += c.port[e];
    }
    for (size_t i = 0; i < c.hosts.size(); ++i) {
      left_ += c.send[i] + c.receive[i];
      done_[i] = !c.send[i] && !c.receive[i];
    }
  }

  bool anythingLeft() const { return left_ > 0; }

  // For every origin, the target LIDs whose routes from it cross a port not
  // yet covered. Resolved LID by LID, remembering for each switch state on
  // the way whether the rest of the route crosses one.
  void findUsefulLids() {
    usefulLids_.assign(h_.origins.size(), {});
    if (routeStamp_.empty()) {
      routeStamp_.assign(r_.numStates(), 0);
      routeUseful_.assign(r_.numStates(), 0);
    }
    std::vector<uint32_t> walk;
    for (uint32_t lid = 0; lid < h_.ofLid.size(); ++lid) {
      if (h_.ofLid[lid] < 0) continue;
      ++stamp_;
      for (size_t o = 0; o < h_.origins.size(); ++o) {
        walk.clear();
        uint8_t useful = 0;
        for (uint32_t st = h_.origins[o].state;;) {
          if (routeStamp_[st] == stamp_) {
            useful = routeUseful_[st];  // resolved, or 0 for a loop on this walk
            break;
          }
          routeStamp_[st] = stamp_;
          routeUseful_[st] = 0;
          walk.push_back(st);
          const IBPort* out = r_.egress(st, static_cast<uint16_t>(lid));
          if (!out) break;
          if (!covered_[r_.portIndex(out)]) {
            useful = 1;
            break;
          }
          if (!out->remote->owner->isSwitch() || walk.size() > kMaxRouteLinks) break;
          st = r_.stateOf(*out->remote);
          if (st == kNoState) break;
        }
        for (uint32_t st : walk) routeUseful_[st] = useful;
        if (useful) usefulLids_[o].push_back(static_cast<uint16_t>(lid));
      }
    }
  }

  StageResult nextStage() {
    ++stage_;
    StageResult result;
    std::fill(load_.begin(), load_.end(), 0);
    // Sources that have not sent go first, each kind in a shuffled order that
    // is the same on every run.
    std::vector<int32_t> order;
    for (size_t i = 0; i < c_.hosts.size(); ++i)
      if (c_.send[i]) order.push_back(static_cast<int32_t>(i));
    for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[rng_() % i]);
    std::stable_partition(order.begin(), order.end(), [&](int32_t s) { return !sent_[s]; });
    if (stage_ > 1) findUsefulLids();

    // First only pairs whose destination has not received yet, so that
    // senders and receivers still missing meet each other; then any pair
    // that covers something.
    std::vector<uint8_t> paired(c_.hosts.size(), 0);
    for (newReceiverOnly_ = true;; newReceiverOnly_ = false) {
      for (int32_t s : order) {
        if (left_ == 0) break;
        if (!paired[s]) paired[s] = addPair(s, result);
      }
      if (!newReceiverOnly_) break;
    }
    linksCovered_ += result.newLinks;
    hostsCovered_ += result.newHosts;
    result.linksCovered = linksCovered_;
    result.hostsCovered = hostsCovered_;
    return result;
  }

  // Looks for a destination for source s; books and counts the pair found.
  bool addPair(int32_t s, StageResult& result) {
    path_.clear();
    uint16_t dlid = 0;
    const int32_t d = fromFirstSwitch(s, dlid);
    if (d < 0) return false;
    {
      result.pairs.push_back({c_.hosts[s], c_.hosts[d], dlid});
      for (const IBPort* e : path_) {
        uint8_t& cov = covered_[r_.portIndex(e)];
        if (!cov) {
          cov = 1;
          --left_;
          ++result.newLinks;
        }
      }
      if (!sent_[s]) {
        sent_[s] = 1;
        --left_;
        ++result.newLinks;  // the source's own link, host to switch
      }
      if (!received_[d] && c_.receive[d]) {
        received_[d] = 1;
        --left_;
      }
      result.newHosts += finishHost(s) + finishHost(d);
    }
    return true;
  }

 private:
  struct Level {
    std::vector<uint16_t> lids;         // the carried LIDs, split by egress port
    std::array<uint32_t, 257> start{};  // port p's LIDs are lids[start[p], start[p+1])
    std::array<const IBPort*, 256> candidates{};
  };

  // An origin's target LIDs split by the egress port its state gives them,
  // computed once: routes do not change from stage to stage.
  struct OriginLids {
    bool built = false;
    std::vector<uint16_t> lids;
    std::array<uint32_t, 257> start{};
  };

  Level& level(uint32_t hops) {
    while (levels_.size() <= hops) levels_.emplace_back();
    return levels_[hops];
  }

  bool freeFor(uint16_t lid, int32_t ownGroup) const {
    const int32_t d = h_.ofLid[lid];
    return d >= 0 && takenInStage_[d] != stage_ && c_.hostGroup[d] != ownGroup &&
           !(newReceiverOnly_ && received_[d]);
  }

  uint32_t finishHost(int32_t i) {
    if (done_[i] || (c_.send[i] && !sent_[i]) || (c_.receive[i] && !received_[i])) return 0;
    done_[i] = 1;
    return 1;
  }

  // The linked egress ports of node below the flow limit: uncovered ones
  // first, then those that lead on longer, then the least loaded, then by
  // port number. Returns how many.
  unsigned candidatesOf(const IBNode& node, std::array<const IBPort*, 256>& out) const {
    unsigned count = 0;
    auto key = [&](const IBPort* p) {
      const size_t e = r_.portIndex(p);
      const uint64_t shorter = UINT16_MAX - std::min<uint32_t>(h_.linksBeyond[e], UINT16_MAX);
      return (uint64_t{covered_[e]} << 63) | (shorter << 32) | load_[e];
    };
    for (unsigned n = 1; n <= node.portCount; ++n) {
      const IBPort* p = node.getPort(n);
      if (!p || !p->remote || load_[r_.portIndex(p)] >= settings_.maxFlows) continue;
      unsigned i = count++;
      while (i > 0 && key(out[i - 1]) > key(p)) {
        out[i] = out[i - 1];
        --i;
      }
      out[i] = p;
    }
    return count;
  }

  const OriginLids& originLids(int32_t o) {
    OriginLids& ol = originLids_[static_cast<size_t>(o)];
    if (ol.built) return ol;
    ol.built = true;
    const uint32_t state = h_.origins[static_cast<size_t>(o)].state;
    const IBNode& node = r_.nodeOf(state);
    const std::span<const uint8_t> lft = node.lft(static_cast<uint8_t>(state % kTables));
    std::array<uint32_t, 257> count{};
    auto egressOf = [&](uint32_t lid) -> unsigned {
      const uint8_t p = lid < lft.size() ? lft[lid] : kLftNoEntry;
      return p >= 1 && p <= node.portCount ? p : 0;
    };
    for (uint32_t lid = 0; lid < lft.size(); ++lid)
      if (h_.ofLid[lid] >= 0) ++count[egressOf(lid) + 1];
    for (unsigned p = 1; p < 257; ++p) count[p] += count[p - 1];
    ol.start = count;
    ol.lids.resize(count[256]);
    for (uint32_t lid = 0; lid < lft.size(); ++lid)
      if (h_.ofLid[lid] >= 0) ol.lids[count[egressOf(lid)]++] = static_cast<uint16_t>(lid);
    return ol;
  }

  // A source that has sent already only helps through an uncovered port, so
  // it carries only the LIDs whose routes from its first switch cross one.
  int32_t fromFirstSwitch(int32_t s, uint16_t& dlid) {
    const int32_t o = h_.origin[s];
    const int32_t ownGroup = c_.hostGroup[s];
    if (sent_[s]) {
      std::vector<uint16_t>& carried = level(0).lids;
      carried.clear();
      for (uint16_t lid : usefulLids_[static_cast<size_t>(o)])
        if (freeFor(lid, ownGroup)) carried.push_back(lid);
      if (carried.empty()) return -1;
      return enter(*c_.hosts[s]->remote, 1, carried, false, dlid);
    }
    const uint32_t state = h_.origins[static_cast<size_t>(o)].state;
    const bool useful = true;
    Level& lv = level(1);
    const unsigned n = candidatesOf(r_.nodeOf(state), lv.candidates);
    const OriginLids& ol = originLids(o);
    if (lv.lids.size() < ol.lids.size()) lv.lids.resize(ol.lids.size());
    int32_t found = -1;
    onPath_[state] = 1;
    for (unsigned i = 0; i < n && found < 0; ++i) {
      const IBPort* p = lv.candidates[i];
      size_t k = 0;
      for (uint32_t j = ol.start[p->portNumber]; j < ol.start[p->portNumber + 1u]; ++j) {
        lv.lids[k] = ol.lids[j];
        k += freeFor(ol.lids[j], ownGroup);
      }
      if (k == 0) continue;
      found = enter(*p->remote, 2, std::span<const uint16_t>(lv.lids.data(), k),
                    useful || !covered_[r_.portIndex(p)], dlid);
      if (found >= 0) book(p);
    }
    onPath_[state] = 0;
    return found;
  }

  void book(const IBPort* p) {
    ++load_[r_.portIndex(p)];
    path_.push_back(p);
  }

  int32_t enter(const IBPort& in, uint32_t hops, std::span<const uint16_t> carried, bool useful,
                uint16_t& dlid) {
    if (!in.owner->isSwitch()) return takeHost(in, hops, carried, useful, dlid);
    const uint32_t state = r_.stateOf(in);
    if (state == kNoState || onPath_[state] || hops > kMaxRouteLinks) return -1;
    const IBNode& node = *in.owner;
    Level& lv = level(hops);
    const unsigned n = candidatesOf(node, lv.candidates);
    if (n == 0) return -1;

    // Split the carried LIDs by egress port in one counting-sort pass.
    std::array<bool, 257> open{};
    for (unsigned i = 0; i < n; ++i) open[lv.candidates[i]->portNumber] = true;
    open[kLftNoEntry] = false;
    const std::span<const uint8_t> lft = node.lft(static_cast<uint8_t>(state % kTables));
    auto egressOf = [&](uint16_t lid) -> unsigned {
      const uint8_t p = lid < lft.size() ? lft[lid] : kLftNoEntry;
      return open[p] ? p : 0;
    };
    std::array<uint32_t, 257> count{};
    for (uint16_t lid : carried) ++count[egressOf(lid) + 1];
    for (unsigned p = 1; p < 257; ++p) count[p] += count[p - 1];
    lv.start = count;
    if (lv.lids.size() < carried.size()) lv.lids.resize(carried.size());
    for (uint16_t lid : carried) lv.lids[count[egressOf(lid)]++] = lid;

    int32_t found = -1;
    onPath_[state] = 1;
    for (unsigned i = 0; i < n && found < 0; ++i) {
      const IBPort* p = lv.candidates[i];
      const uint32_t begin = lv.start[p->portNumber], end = lv.start[p->portNumber + 1u];
      if (begin == end) continue;
      found = enter(*p->remote, hops + 1,
                    std::span<const uint16_t>(lv.lids.data() + begin, end - begin),
                    useful || !covered_[r_.portIndex(p)], dlid);
      if (found >= 0) book(p);
    }
    onPath_[state] = 0;
    return found;
  }

  // The walk arrived at a host: a destination if grouped, far enough, worth
  // it, and really the owner of a LID the walk carried (inconsistent tables
  // may deliver a LID to the wrong host).
  int32_t takeHost(const IBPort& in, uint32_t hops, std::span<const uint16_t> carried, bool useful,
                   uint16_t& dlid) {
    const int32_t d = h_.ofPort[r_.portIndex(&in)];
    if (d < 0 || !useful || hops < settings_.minDist) return -1;
    for (uint16_t lid : carried) {
      if (h_.ofLid[lid] == d) {
        dlid = lid;
        takenInStage_[d] = stage_;
        return d;
      }
    }
    return -1;
  }

  const Routing& r_;
  const Hosts& h_;
  const Coverable& c_;
  const PlanSettings& settings_;
  std::vector<uint32_t> load_;
  std::vector<uint8_t> covered_;
  std::vector<uint8_t> onPath_;
  std::vector<uint8_t> sent_, received_, done_;
  std::vector<uint32_t> takenInStage_;
  std::vector<OriginLids> originLids_;
  std::deque<Level> levels_;
  std::vector<const IBPort*> path_;  // egress ports of the pair just found, last first
  std::vector<std::vector<uint16_t>> usefulLids_;  // by origin, for sources that have sent
  std::vector<uint32_t> routeStamp_;
  std::vector<uint8_t> routeUseful_;
  uint32_t stamp_ = 0;
  bool newReceiverOnly_ = false;
  std::mt19937 rng_{20260101};
  uint32_t stage_ = 0;
  uint64_t left_ = 0;  // coverable ports, sends and receives not yet covered
  uint32_t linksCovered_ = 0, hostsCovered_ = 0;
};

}  // namespace

Coverable findCoverable(const IBFabric& fabric, const PortGroups& groups,
                        const PlanSettings& settings) {
  Routing routing(fabric);
  Hosts hosts;
  return coverableOf(routing, groups, settings, hosts);
}

Plan makePlan(const IBFabric& fabric, const PortGroups& groups, const PlanSettings& settings,
              const std::function<void(const Plan&)>& onStage) {
  Plan plan;
  Routing routing(fabric);
  Hosts hosts;
  plan.coverable = coverableOf(routing, groups, settings, hosts);
  Stager stager(routing, hosts, plan.coverable, settings);
  while (stager.anythingLeft()) {
    if (settings.maxStages != 0 && plan.stages.size() >= settings.maxStages) break;
    StageResult stage = stager.nextStage();
    if (stage.pairs.empty()) break;  // cannot happen while something coverable is left
    plan.stages.push_back(std::move(stage));
    if (onStage) onStage(plan);
  }
  plan.complete = !stager.anythingLeft();
  return plan;
}
