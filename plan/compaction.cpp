#include "plan/compaction.h"

#include <algorithm>
#include <unordered_map>

#include "plan/pair_path.h"

namespace {

struct Placed {
  PlannedPair pair;
  std::vector<uint32_t> path;  // ports its directed links leave from, the source's first
  uint64_t hash = 0;           // the pair's part of each of its links' signature
};

// One stage's bookings: port loads, and which hosts send and receive.
struct Booking {
  std::vector<uint32_t> load;
  std::vector<uint8_t> sends, receives;  // by port index of the host

  explicit Booking(size_t ports) : load(ports, 0), sends(ports, 0), receives(ports, 0) {}

  bool fits(const Placed& p, size_t src, size_t dst, uint32_t limit) const {
    if (sends[src] || receives[dst]) return false;
    for (size_t i = 1; i < p.path.size(); ++i)
      if (load[p.path[i]] >= limit) return false;
    return true;
  }
  void book(const Placed& p, size_t src, size_t dst, int delta) {
    sends[src] = delta > 0;
    receives[dst] = delta > 0;
    for (size_t i = 1; i < p.path.size(); ++i) load[p.path[i]] += static_cast<uint32_t>(delta);
  }
};

// A random 64-bit value per pair, the same on every run.
uint64_t pairHash(uint64_t n) {
  uint64_t z = n + 0x9e3779b97f4a7c15u;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

}  // namespace

void compactStages(const IBFabric& fabric, const Coverable& c, const PlanSettings& settings,
                   std::vector<StageResult>& stages, Redundant redundant) {
  PairPathWalker walker(fabric);
  const size_t ports = fabric.ports().size();
  std::vector<std::vector<Placed>> placed(stages.size());
  std::vector<Booking> bookings(stages.size(), Booking(ports));
  std::vector<uint32_t> crossings(ports, 0);
  // A link's signature as the sum of its pairs' hashes, and how many links
  // have each.
  std::vector<uint64_t> signature(ports, 0);
  uint64_t n = 0;
  for (size_t k = 0; k < stages.size(); ++k) {
    for (const PlannedPair& p : stages[k].pairs) {
      Placed q{p, {}, pairHash(++n)};
      walker.walk(*p.src, *p.dst, p.dlid, q.path);
      for (uint32_t e : q.path) {
        ++crossings[e];
        signature[e] += q.hash;
      }
      bookings[k].book(q, walker.indexOf(p.src), walker.indexOf(p.dst), 1);
      placed[k].push_back(std::move(q));
    }
  }
  std::unordered_map<uint64_t, uint32_t> sharing;
  for (size_t e = 0; e < ports; ++e)
    if (crossings[e]) ++sharing[signature[e]];
  // Without q, a link of its path would take the signature of another link
  // (or of one on the path: then q is kept, to be safe).
  auto merges = [&](const Placed& q) {
    return std::any_of(q.path.begin(), q.path.end(),
                       [&](uint32_t e) { return sharing.count(signature[e] - q.hash) != 0; });
  };
  for (size_t k = stages.size(); k-- > 0 && redundant != Redundant::kNone;) {
    std::vector<Placed>& ps = placed[k];
    for (size_t i = ps.size(); i-- > 0;) {
      const Placed& q = ps[i];
      if (!std::all_of(q.path.begin(), q.path.end(), [&](uint32_t e) { return crossings[e] > 1; }))
        continue;
      if (redundant == Redundant::kSignatures && merges(q)) continue;
      for (uint32_t e : q.path) {
        --crossings[e];
        if (--sharing[signature[e]] == 0) sharing.erase(signature[e]);
        signature[e] -= q.hash;
        ++sharing[signature[e]];
      }
      bookings[k].book(q, walker.indexOf(q.pair.src), walker.indexOf(q.pair.dst), -1);
      ps.erase(ps.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  // Earlier stages first, so that what a stage keeps is settled before
  // later ones are packed into it.
  for (size_t k = 1; k < stages.size(); ++k) {
    std::vector<Placed>& ps = placed[k];
    for (size_t i = ps.size(); i-- > 0;) {
      const size_t src = walker.indexOf(ps[i].pair.src), dst = walker.indexOf(ps[i].pair.dst);
      for (size_t j = 0; j < k; ++j) {
        if (!bookings[j].fits(ps[i], src, dst, settings.maxFlows)) continue;
        bookings[k].book(ps[i], src, dst, -1);
        bookings[j].book(ps[i], src, dst, 1);
        placed[j].push_back(std::move(ps[i]));
        ps.erase(ps.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
  }
  std::vector<StageResult> out;
  for (std::vector<Placed>& ps : placed) {
    if (ps.empty()) continue;
    StageResult& s = out.emplace_back();
    for (const Placed& q : ps) s.pairs.push_back(q.pair);
  }
  stages = std::move(out);
  countCoverage(fabric, c, stages);
}

void countCoverage(const IBFabric& fabric, const Coverable& c, std::vector<StageResult>& stages) {
  PairPathWalker walker(fabric);
  std::vector<uint8_t> covered(fabric.ports().size(), 0);
  std::vector<int32_t> hostOfPort(fabric.ports().size(), -1);
  for (size_t i = 0; i < c.hosts.size(); ++i)
    hostOfPort[walker.indexOf(c.hosts[i])] = static_cast<int32_t>(i);
  std::vector<uint8_t> sent(c.hosts.size(), 0), received(c.hosts.size(), 0),
      done(c.hosts.size(), 0);
  for (size_t i = 0; i < c.hosts.size(); ++i) done[i] = !c.send[i] && !c.receive[i];
  auto finish = [&](int32_t h) -> uint32_t {
    const size_t i = static_cast<size_t>(h);
    if (h < 0 || done[i] || (c.send[i] && !sent[i]) || (c.receive[i] && !received[i])) return 0;
    done[i] = 1;
    return 1;
  };
  std::vector<uint32_t> path;
  uint32_t links = 0, hosts = 0;
  for (StageResult& s : stages) {
    s.newLinks = s.newHosts = 0;
    for (const PlannedPair& p : s.pairs) {
      walker.walk(*p.src, *p.dst, p.dlid, path);
      for (uint32_t e : path) {
        s.newLinks += !covered[e];
        covered[e] = 1;
      }
      const int32_t src = hostOfPort[walker.indexOf(p.src)],
                    dst = hostOfPort[walker.indexOf(p.dst)];
      if (src >= 0) sent[static_cast<size_t>(src)] = 1;
      if (dst >= 0) received[static_cast<size_t>(dst)] = 1;
      s.newHosts += finish(src) + finish(dst);
    }
    links += s.newLinks;
    hosts += s.newHosts;
    s.linksCovered = links;
    s.hostsCovered = hosts;
  }
}
