#include "signatures/link_classes.h"

#include <algorithm>

#include "fabric/routing/forwarding_states.h"

namespace {

using States = ForwardingStates;

// A random 64-bit value per host, the same on every run.
uint64_t hostHash(uint64_t host) {
  uint64_t z = host + 0x9e3779b97f4a7c15u;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

// The valid sources of some links towards one LID. Where a link is left
// from one state only, its sources are the state's subtree of the route
// tree; subtrees of one tree are nested or disjoint, so two such sets are
// equal exactly when they have the same size and the same smallest member.
// A link left from two states (two tables of a switch) has the union of two
// subtrees, told apart by the sum of its hosts' random values as well.
struct Sources {
  uint32_t count = 0;
  uint32_t first = UINT32_MAX;  // smallest host index
  uint64_t hash = 0;            // sum of the hosts' hostHash

  void add(const Sources& o) {
    count += o.count;
    first = std::min(first, o.first);
    hash += o.hash;
  }
};

struct Crossing {
  uint64_t sizeAndFirst;
  uint64_t hash;
  uint32_t port;
};

// A source's first switch state, shared by the grouped hosts cabled into it
// through ports with the same table.
struct Origin {
  uint32_t state = States::kNoState;
  uint32_t total = 0;
  // Per group among its hosts (in host order): the group, its hosts, the
  // first of them, and the LIDs of that group the origin reaches validly.
  struct Share {
    int32_t group;
    uint32_t hosts;
    uint32_t first;
    uint64_t hash;
    uint32_t lidsToOwn = 0;
  };
  std::vector<Share> shares;
  uint32_t lidsReached = 0;  // target LIDs of valid routes, all groups

  // The origin's valid sources towards a host of group g.
  Sources sourcesTowards(int32_t g) const {
    Sources s;
    for (const Share& sh : shares) {
      if (sh.group == g) continue;
      s.count += sh.hosts;
      s.first = std::min(s.first, sh.first);
      s.hash += sh.hash;
    }
    return s;
  }
};

struct Hosts {
  std::vector<const IBPort*> ports;  // groups in name order, ports in set order
  std::vector<int32_t> group;
  std::vector<int32_t> origin;  // by host, -1 without a switch to start from
  std::vector<int32_t> ofLid;   // 2^16 entries: the host a target LID reaches, or -1
  std::vector<Origin> origins;
};

Hosts indexHosts(const States& states, const PortGroups& groups, const PairRules& rules) {
  Hosts h;
  int32_t g = 0;
  for (const auto& [name, ports] : groups) {
    for (const IBPort* p : ports) {
      h.ports.push_back(p);
      h.group.push_back(g);
    }
    ++g;
  }
  h.origin.assign(h.ports.size(), -1);
  h.ofLid.assign(size_t{1} << 16, -1);
  std::vector<int32_t> originOfState(states.size(), -1);
  const uint32_t lids = rules.anyLid ? uint32_t{1} << std::min<uint16_t>(rules.lmc, 16) : 1;
  for (size_t i = 0; i < h.ports.size(); ++i) {
    const IBPort* p = h.ports[i];
    // LIDs wrap past 2^16 - 1 to 0, and a later host takes over a LID that
    // two claim, as the search's LID map does.
    for (uint32_t k = 0; k < lids && p->baseLid != 0; ++k)
      h.ofLid[static_cast<uint16_t>(p->baseLid + k)] = static_cast<int32_t>(i);
    if (!p->remote || !p->remote->owner->isSwitch()) continue;
    const uint32_t state = states.stateFor(*p->remote);
    int32_t& o = originOfState[state];
    if (o < 0) {
      o = static_cast<int32_t>(h.origins.size());
      h.origins.emplace_back().state = state;
    }
    h.origin[i] = o;
    Origin& origin = h.origins[static_cast<size_t>(o)];
    ++origin.total;
    if (origin.shares.empty() || origin.shares.back().group != h.group[i])
      origin.shares.push_back({h.group[i], 0, static_cast<uint32_t>(i), 0});
    ++origin.shares.back().hosts;
    origin.shares.back().hash += hostHash(i);
  }
  return h;
}

// The route tree towards one LID: which states lie on valid routes, how far
// each is from the destination, and the sources gathered below each.
class RouteTree {
 public:
  explicit RouteTree(const States& states)
      : s_(states),
        stamp_(states.size(), 0),
        remaining_(states.size(), 0),
        inTree_(states.size(), 0),
        below_(states.size()) {}

  void reset(uint16_t lid, uint32_t dstPort) {
    lid_ = lid;
    dstPort_ = dstPort;
    ++now_;
    for (uint32_t d = 0; d <= farthest_ && d < byDistance_.size(); ++d) byDistance_[d].clear();
    farthest_ = 0;
  }

  // Links from state to the destination host, 0 when the route is broken
  // (no entry, no link, a loop, or another host).
  uint32_t linksToDst(uint32_t state) {
    if (stamp_[state] == now_) return remaining_[state];
    walk_.clear();
    uint32_t last = 0;
    for (uint32_t st = state;;) {
      stamp_[st] = now_;
      remaining_[st] = 0;  // a loop back here finds a broken route
      walk_.push_back(st);
      const uint32_t next = s_.hop(st, lid_);
      if (next == States::kDeadEnd) break;
      if (next & States::kHostBit) {
        last = (next & ~States::kHostBit) == dstPort_ ? 1 : 0;
        break;
      }
      if (stamp_[next] == now_) {
        last = remaining_[next] ? remaining_[next] + 1 : 0;
        break;
      }
      st = next;
    }
    for (size_t i = walk_.size(); i-- > 0;) {
      remaining_[walk_[i]] = last;
      if (last) ++last;
    }
    return remaining_[state];
  }

  // Adds sources at state, whose route is complete, and takes the route into
  // the tree.
  void addSources(uint32_t state, const Sources& sources) {
    for (uint32_t st = state;; st = s_.hop(st, lid_)) {
      if (inTree_[st] == now_) break;
      inTree_[st] = now_;
      below_[st] = {};
      const uint32_t d = remaining_[st];
      if (byDistance_.size() <= d) byDistance_.resize(d + 1);
      farthest_ = std::max(farthest_, d);
      byDistance_[d].push_back(st);
      if (remaining_[st] == 1) break;
    }
    below_[state].add(sources);
  }

  // Calls f(state, sources below it) for every state of the tree, farthest
  // from the destination first, so that each state has all its sources.
  template <typename F>
  void gather(F&& f) {
    for (uint32_t d = farthest_; d > 0; --d) {
      for (uint32_t st : byDistance_[d]) {
        f(st, below_[st]);
        if (d > 1) below_[s_.hop(st, lid_)].add(below_[st]);
      }
    }
  }

 private:
  const States& s_;
  uint16_t lid_ = 0;
  uint32_t dstPort_ = 0;
  uint32_t now_ = 0;
  std::vector<uint32_t> stamp_, remaining_, inTree_;
  std::vector<Sources> below_;
  std::vector<std::vector<uint32_t>> byDistance_;  // tree states by links to the destination
  uint32_t farthest_ = 0;
  std::vector<uint32_t> walk_;
};

// Classes of switch egress ports, split further by every LID's source sets
// (partition refinement: a class splits where its members' source sets for
// one LID differ).
class Refinement {
 public:
  explicit Refinement(size_t ports) : classOf_(ports, 0), sizes_{static_cast<uint32_t>(ports)} {}

  void split(std::vector<Crossing>& crossed) {
    auto same = [](const Crossing& a, const Crossing& b) {
      return a.sizeAndFirst == b.sizeAndFirst && a.hash == b.hash;
    };
    std::sort(crossed.begin(), crossed.end(), [&](const Crossing& a, const Crossing& b) {
      const uint32_t ca = classOf_[a.port], cb = classOf_[b.port];
      if (ca != cb) return ca < cb;
      return a.sizeAndFirst != b.sizeAndFirst ? a.sizeAndFirst < b.sizeAndFirst : a.hash < b.hash;
    });
    for (size_t i = 0; i < crossed.size();) {
      const uint32_t cls = classOf_[crossed[i].port];
      size_t end = i;
      while (end < crossed.size() && classOf_[crossed[end].port] == cls) ++end;
      const bool whole = same(crossed[i], crossed[end - 1]) && end - i == sizes_[cls];
      for (size_t run = i; !whole && run < end;) {
        size_t runEnd = run;
        while (runEnd < end && same(crossed[runEnd], crossed[run])) ++runEnd;
        const uint32_t fresh = static_cast<uint32_t>(sizes_.size());
        sizes_.push_back(static_cast<uint32_t>(runEnd - run));
        sizes_[cls] -= static_cast<uint32_t>(runEnd - run);
        for (size_t k = run; k < runEnd; ++k) classOf_[crossed[k].port] = fresh;
        run = runEnd;
      }
      i = end;
    }
  }

  uint32_t classOf(size_t port) const { return classOf_[port]; }

 private:
  std::vector<uint32_t> classOf_;
  std::vector<uint32_t> sizes_;
};

}  // namespace

LinkClasses findLinkClasses(const IBFabric& fabric, const PortGroups& groups,
                            const PairRules& rules) {
  const States states(fabric);
  Hosts h = indexHosts(states, groups, rules);
  const IBPort* firstPort = fabric.ports().data();
  const size_t numPorts = fabric.ports().size();
  auto egressIndex = [&](uint32_t state, uint16_t lid) {
    return static_cast<size_t>(states.node(state).getPort(states.egress(state, lid)) - firstPort);
  };

  // Per switch egress port: LIDs whose valid routes cross it, the pairs, and
  // the one source of all its pairs (-1 for several).
  std::vector<uint32_t> lidsCrossing(numPorts, 0);
  std::vector<uint64_t> pairsCrossing(numPorts, 0);
  std::vector<int64_t> onlySource(numPorts, -2);  // -2: not crossed yet
  Refinement refinement(numPorts);
  RouteTree tree(states);
  std::vector<Crossing> crossed;
  std::vector<uint32_t> lastLid(numPorts, UINT32_MAX);
  std::vector<Sources> ofPort(numPorts);
  std::vector<uint32_t> touched;
  for (uint32_t lid = 0; lid < h.ofLid.size() && rules.maxFlows > 0; ++lid) {
    const int32_t dst = h.ofLid[lid];
    if (dst < 0 || h.origin[static_cast<size_t>(dst)] < 0) continue;
    const int32_t dstGroup = h.group[static_cast<size_t>(dst)];
    tree.reset(static_cast<uint16_t>(lid),
               static_cast<uint32_t>(h.ports[static_cast<size_t>(dst)] - firstPort));
    bool any = false;
    for (Origin& o : h.origins) {
      const Sources sources = o.sourcesTowards(dstGroup);
      if (sources.count == 0) continue;
      const uint32_t links = tree.linksToDst(o.state);
      if (links == 0 || links + 1 < rules.minDist) continue;
      tree.addSources(o.state, sources);
      ++o.lidsReached;
      for (Origin::Share& sh : o.shares) sh.lidsToOwn += sh.group == dstGroup;
      any = true;
    }
    if (!any) continue;
    touched.clear();
    tree.gather([&](uint32_t state, const Sources& below) {
      const size_t e = egressIndex(state, static_cast<uint16_t>(lid));
      if (lastLid[e] != lid) {
        lastLid[e] = lid;
        ofPort[e] = {};
        touched.push_back(static_cast<uint32_t>(e));
      }
      ofPort[e].add(below);
    });
    crossed.clear();
    for (uint32_t e : touched) {
      const Sources& s = ofPort[e];
      crossed.push_back({(uint64_t{s.count} << 32) | s.first, s.hash, e});
      ++lidsCrossing[e];
      pairsCrossing[e] += s.count;
      const int64_t single = s.count == 1 ? int64_t{s.first} : -1;
      onlySource[e] = onlySource[e] == -2 || onlySource[e] == single ? single : -1;
    }
    refinement.split(crossed);
  }

  // Number the classes in port order. A host's own cable carries exactly the
  // pairs it sends; it shares a class with the switch egress ports whose
  // pairs all come from that host over all the LIDs it reaches.
  LinkClasses out;
  out.classOfPort.assign(numPorts, LinkClasses::kNotCrossed);
  std::vector<int32_t> numbered;
  std::vector<int32_t> hostOfPort(numPorts, -1);
  std::vector<uint64_t> sent(h.ports.size(), 0);
  for (size_t i = 0; i < h.ports.size(); ++i) {
    const int32_t o = h.origin[i];
    if (o < 0) continue;
    hostOfPort[static_cast<size_t>(h.ports[i] - firstPort)] = static_cast<int32_t>(i);
    const Origin& origin = h.origins[static_cast<size_t>(o)];
    sent[i] = origin.lidsReached;
    for (const Origin::Share& sh : origin.shares)
      if (sh.group == h.group[i]) sent[i] -= sh.lidsToOwn;
  }
  // By host: the refined class its own cable joins, or none.
  std::vector<uint32_t> joins(h.ports.size(), UINT32_MAX);
  auto classFor = [&](uint32_t refined) -> int32_t {
    if (numbered.size() <= refined) numbered.resize(refined + 1, -1);
    int32_t& c = numbered[refined];
    if (c < 0) {
      c = static_cast<int32_t>(out.members.size());
      out.members.emplace_back();
      out.pairs.push_back(0);
    }
    return c;
  };
  for (size_t e = 0; e < numPorts; ++e) {
    if (lidsCrossing[e] == 0) continue;
    const int64_t s = onlySource[e];
    if (s >= 0 && lidsCrossing[e] == sent[static_cast<size_t>(s)])
      joins[static_cast<size_t>(s)] = refinement.classOf(e);
  }
  for (size_t e = 0; e < numPorts; ++e) {
    int32_t c = LinkClasses::kNotCrossed;
    uint64_t pairs = 0;
    if (lidsCrossing[e] > 0) {
      c = classFor(refinement.classOf(e));
      pairs = pairsCrossing[e];
    } else if (const int32_t host = hostOfPort[e]; host >= 0 && sent[static_cast<size_t>(host)]) {
      const uint32_t joined = joins[static_cast<size_t>(host)];
      if (joined != UINT32_MAX) {
        c = classFor(joined);
      } else {
        c = static_cast<int32_t>(out.members.size());
        out.members.emplace_back();
        out.pairs.push_back(0);
      }
      pairs = sent[static_cast<size_t>(host)];
    }
    if (c == LinkClasses::kNotCrossed) continue;
    out.classOfPort[e] = c;
    out.members[static_cast<size_t>(c)].push_back(&fabric.ports()[e]);
    out.pairs[static_cast<size_t>(c)] = pairs;
    ++out.links;
  }
  return out;
}
