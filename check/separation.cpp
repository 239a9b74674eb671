#include "check/separation.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <unordered_map>

namespace {

size_t indexOf(const IBFabric& fabric, const IBPort* p) {
  return static_cast<size_t>(p - fabric.ports().data());
}

}  // namespace

PortGroups everyHostGroups(IBFabric& fabric) {
  PortGroups groups;
  for (IBNode& node : fabric.nodes())
    if (!node.isSwitch())
      if (IBPort* p = node.getPort(1)) groups[node.nodeName].insert(p);
  return groups;
}

PairRule pairRuleOf(const IBFabric& fabric, const PortGroups& groups, uint32_t minDist) {
  PairRule rule;
  rule.groupOf.assign(fabric.ports().size(), -1);
  rule.minDist = minDist;
  int32_t g = 0;
  for (const auto& [name, ports] : groups) {
    for (const IBPort* p : ports) rule.groupOf[indexOf(fabric, p)] = g;
    ++g;
  }
  return rule;
}

namespace {

// Per destination, what the route from each forwarding state crosses of the
// class: worked out once per state and destination, so that all sources cost
// one lookup each.
class ClassRoutes {
 public:
  ClassRoutes(const IBFabric& fabric, const ForwardingStates& states,
              const std::vector<double>& rates, std::span<const IBPort* const> links)
      : fabric_(fabric),
        states_(states),
        rates_(rates),
        slowest_(states.size(), 0),
        bit_(fabric.ports().size(), -1),
        stamp_(states.size(), 0),
        onPath_(states.size(), 0),
        mask_(states.size(), 0),
        length_(states.size(), 0) {
    for (size_t i = 0; i < links.size(); ++i)
      bit_[indexOf(fabric, links[i])] = static_cast<int8_t>(i);
  }

  void aimAt(const IBPort& dst) {
    dst_ = indexOf(fabric_, &dst);
    lid_ = dst.baseLid;
    ++round_;
  }

  // The class links the route from a packet entering state crosses (the
  // source's own link aside), its length in links and its slowest link's
  // rate; false when the route does not arrive.
  bool fromState(uint32_t state, uint64_t* mask, uint32_t* length, double* slowest) {
    if (!settle(state)) return false;
    *mask = mask_[state];
    *length = length_[state];
    *slowest = slowest_[state];
    return true;
  }

  double rateOf(const IBPort* p) const { return p ? rates_[indexOf(fabric_, p)] : 0; }

  uint64_t bitOf(const IBPort* p) const {
    int8_t b = p ? bit_[indexOf(fabric_, p)] : -1;
    return b < 0 ? 0 : uint64_t{1} << b;
  }

 private:
  static constexpr uint32_t kDead = UINT32_MAX;

  // Works out state and every state after it on the way; false when the
  // route from state does not arrive.
  bool settle(uint32_t state) {
    path_.clear();
    uint32_t x = state;
    uint32_t tailLength = kDead;
    uint64_t tailMask = 0;
    double tailSlowest = std::numeric_limits<double>::infinity();
    for (;;) {
      if (stamp_[x] == round_) {
        tailLength = length_[x];
        tailMask = mask_[x];
        tailSlowest = slowest_[x];
        break;
      }
      if (onPath_[x] == round_) break;  // a loop: nothing on it arrives
      onPath_[x] = round_;
      path_.push_back(x);
      uint8_t port = states_.egress(x, lid_);
      uint32_t next = states_.lead(x, port);
      if (next == ForwardingStates::kDeadEnd) break;
      if (next & ForwardingStates::kHostBit) {
        if ((next & ~ForwardingStates::kHostBit) == dst_) tailLength = 0;
        break;
      }
      x = next;
    }
    // Back along the path: each state's route is its egress link and the rest.
    for (size_t i = path_.size(); i-- > 0;) {
      uint32_t y = path_[i];
      stamp_[y] = round_;
      if (tailLength == kDead) {
        length_[y] = kDead;
        continue;
      }
      const IBPort* egress = states_.node(y).getPort(states_.egress(y, lid_));
      tailMask |= bitOf(egress);
      tailLength += 1;
      tailSlowest = std::min(tailSlowest, rateOf(egress));
      mask_[y] = tailMask;
      length_[y] = tailLength;
      slowest_[y] = tailSlowest;
    }
    return stamp_[state] == round_ && length_[state] != kDead;
  }

  const IBFabric& fabric_;
  const ForwardingStates& states_;
  const std::vector<double>& rates_;
  std::vector<double> slowest_;  // by state: the slowest link on the way
  std::vector<int8_t> bit_;      // by port index: the link's position in the class
  std::vector<uint32_t> stamp_, onPath_;
  std::vector<uint64_t> mask_;
  std::vector<uint32_t> length_;
  std::vector<uint32_t> path_;
  uint32_t round_ = 0;
  size_t dst_ = 0;
  uint16_t lid_ = 0;
};

// Parts of the class once every mask has been applied, as a label per link.
size_t partsAfter(std::vector<uint64_t>* labels, uint64_t mask) {
  // A link's label is the set of chosen masks containing it; since masks are
  // only ever added, one bit per chosen mask would overflow, so labels are
  // renumbered densely after each split.
  std::vector<std::pair<uint64_t, bool>> seen;
  for (size_t i = 0; i < labels->size(); ++i) {
    std::pair<uint64_t, bool> key = {(*labels)[i], ((mask >> i) & 1) != 0};
    auto it = std::find(seen.begin(), seen.end(), key);
    (*labels)[i] = static_cast<uint64_t>(it - seen.begin());
    if (it == seen.end()) seen.push_back(key);
  }
  return seen.size();
}

}  // namespace

ClassSplit splitClass(const IBFabric& fabric, const ForwardingStates& states, const PairRule& rule,
                      const std::vector<double>& rates, std::span<const IBPort* const> links,
                      std::span<const PlanPair> slow) {
  ClassSplit out;
  const size_t k = links.size();
  if (k == 0 || k > kMaxClassLinks) return out;
  out.known = true;
  const uint64_t full = k == 64 ? ~uint64_t{0} : (uint64_t{1} << k) - 1;

  // Every valid pair that crosses part of the class, a few per distinct part.
  constexpr size_t kOptions = 8;
  std::unordered_map<uint64_t, std::vector<PlanPair>> byMask;
  std::vector<uint64_t> masks;  // in the order first seen
  std::vector<std::vector<PlanPair>> fromSource(slow.size()), toDestination(slow.size());
  std::vector<const IBPort*> hosts;
  for (const IBPort& p : fabric.ports())
    if (rule.groupOf[indexOf(fabric, &p)] >= 0) hosts.push_back(&p);
  ClassRoutes routes(fabric, states, rates, links);
  // Sources by the state their packets enter the switches in: a route is the
  // source's own link and the route from there, so each such state is worked
  // out once per destination, and its sources looked at only where that
  // route crosses the class or the source's own link is in it.
  struct Entry {
    uint32_t state;
    std::vector<const IBPort*> sources, inClass;
  };
  std::vector<Entry> entries;
  {
    std::unordered_map<uint32_t, size_t> entryOf;
    for (const IBPort* src : hosts) {
      if (!src->remote || !src->remote->owner->isSwitch()) continue;
      uint32_t state = states.stateFor(*src->remote);
      auto [it, added] = entryOf.emplace(state, entries.size());
      if (added) entries.push_back({state, {}, {}});
      entries[it->second].sources.push_back(src);
      if (routes.bitOf(src)) entries[it->second].inClass.push_back(src);
    }
  }
  for (const IBPort* dst : hosts) {
    if (dst->baseLid == 0) continue;
    routes.aimAt(*dst);
    const int32_t dg = rule.groupOf[indexOf(fabric, dst)];
    for (const Entry& entry : entries) {
      uint64_t tail;
      uint32_t tailLength;
      double tailSlowest;
      if (!routes.fromState(entry.state, &tail, &tailLength, &tailSlowest)) continue;
      if (tailLength + 1 < rule.minDist) continue;
      for (const IBPort* src : tail ? entry.sources : entry.inClass) {
        if (src == dst || rule.groupOf[indexOf(fabric, src)] == dg) continue;
        uint64_t mask = tail | routes.bitOf(src);
        double slowest = std::min(tailSlowest, routes.rateOf(src));
        // A link the pair crosses shows in its rate only when the pair is not
        // held back elsewhere far below that link's rate (a slower host link):
        // such a link counts as not crossed, the pair tells nothing of it.
        for (size_t i = 0; i < k; ++i)
          if (slowest < kSeen * rates[indexOf(fabric, links[i])]) mask &= ~(uint64_t{1} << i);
        if (mask == 0) continue;
        const PlanPair pair{src, dst, 0};
        for (size_t i = 0; i < slow.size(); ++i) {
          if (src == slow[i].src && dst != slow[i].dst && fromSource[i].size() < kOptions)
            fromSource[i].push_back(pair);
          if (dst == slow[i].dst && src != slow[i].src && toDestination[i].size() < kOptions)
            toDestination[i].push_back(pair);
        }
        if (mask == full) continue;
        std::vector<PlanPair>& options = byMask[mask];
        if (options.empty()) masks.push_back(mask);
        if (options.size() < kOptions) options.push_back(pair);
      }
    }
  }

  // The finest split these routes allow, and the links it leaves together.
  std::vector<uint64_t> finest(k, 0);
  size_t finestParts = 1;
  for (uint64_t m : masks) finestParts = partsAfter(&finest, m);
  out.splittable = finestParts > 1;
  std::vector<std::vector<uint32_t>> parts(finestParts);
  for (uint32_t i = 0; i < k; ++i) parts[finest[i]].push_back(i);
  for (std::vector<uint32_t>& part : parts)
    if (part.size() > 1) out.together.push_back(std::move(part));

  // Greedily, the test that splits the class into the most parts, until it
  // is split as far as it goes; of equal splits the one crossing fewer of the
  // class's links, so that the tests of one class share fewer ports and fit
  // in fewer stages.
  std::vector<uint64_t> labels(k, 0);
  size_t parts_ = 1;
  std::vector<bool> chosen(masks.size(), false);
  while (parts_ < finestParts) {
    size_t best = masks.size(), bestParts = parts_;
    for (size_t i = 0; i < masks.size(); ++i) {
      if (chosen[i]) continue;
      std::vector<uint64_t> trial = labels;
      size_t n = partsAfter(&trial, masks[i]);
      if (n > bestParts || (n == bestParts && best < masks.size() &&
                            std::popcount(masks[i]) < std::popcount(masks[best]))) {
        best = i;
        bestParts = n;
      }
    }
    if (best == masks.size()) break;
    chosen[best] = true;
    parts_ = partsAfter(&labels, masks[best]);
    out.tests.push_back(byMask[masks[best]]);
  }

  // Each slow pair again, each end with another partner, unless a test
  // already gives that end one.
  auto given = [&](auto&& same) {
    for (const std::vector<PlanPair>& t : out.tests)
      if (std::any_of(t.begin(), t.end(), same)) return true;
    return false;
  };
  for (size_t i = 0; i < slow.size(); ++i) {
    const PlanPair& sp = slow[i];
    if (!fromSource[i].empty() && !given([&](const PlanPair& p) { return p.src == sp.src; }))
      out.tests.push_back(fromSource[i]);
    if (!toDestination[i].empty() && !given([&](const PlanPair& p) { return p.dst == sp.dst; }))
      out.tests.push_back(toDestination[i]);
  }
  return out;
}
