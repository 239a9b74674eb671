#include "check/link_ranking.h"

#include <algorithm>
#include <cmath>
#include <queue>

#include "check/degraded.h"

namespace {

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(mid), v.end());
  double m = v[mid];
  if (v.size() % 2 == 0)
    m = (m + *std::max_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(mid))) / 2;
  return m;
}

// Per link (by port index), the measured pairs that cross it, as ids into a
// flat list of measured pairs; ids ascend within a link.
struct Crossings {
  std::vector<uint32_t> start;  // link l: ids[start[l], start[l+1])
  std::vector<uint32_t> ids;
  std::span<const uint32_t> of(size_t link) const {
    return {ids.data() + start[link], start[link + 1] - start[link]};
  }
};

}  // namespace

SuspectReport findSuspects(const IBFabric& fabric, const PairPlan& plan,
                           const std::vector<StageCheck>& checks, const Results& results,
                           const SlowRule& rule) {
  SuspectReport report;
  const IBPort* firstPort = fabric.ports().data();
  const size_t links = fabric.ports().size();
  auto index = [&](const IBPort* p) { return static_cast<size_t>(p - firstPort); };

  // The measured pairs with a complete path, each with its links.
  struct Measured {
    PairRef ref;
    bool slow;
  };
  std::vector<Measured> measured;
  std::vector<uint32_t>
      linkStart;  // links of measured pair m: linkList[linkStart[m], linkStart[m+1])
  std::vector<uint32_t> linkList;

  report.stages.resize(plan.stages.size());
  for (uint32_t s = 0; s < plan.stages.size(); ++s) {
    const std::vector<double>& values = results.values[s];
    const StageCheck& check = checks[s];
    StageThreshold& st = report.stages[s];
    std::vector<double> present;
    for (double v : values)
      if (!std::isnan(v)) present.push_back(v);
    report.unmeasured += values.size() - present.size();
    st.measured = present.size();
    st.median = median(present);
    st.threshold = rule.given ? rule.slowBelow : 0.9 * st.median;

    for (uint32_t p = 0; p < values.size(); ++p) {
      if (std::isnan(values[p])) continue;
      const PairRoute& route = check.routes[p];
      const IBPort* src = plan.stages[s].pairs[p].src;
      double threshold = st.threshold;
      if (!rule.given && route.arrived) {
        double slowest = linkDataRate(*src);
        for (uint32_t h = route.first; h < route.first + route.count; ++h) {
          double rate = linkDataRate(*check.hops[h]);
          if (rate > 0 && (slowest == 0 || rate < slowest)) slowest = rate;
        }
        if (slowest > 0) threshold = std::max(threshold, 0.9 * slowest * rule.unitPerMbps);
      }
      bool slow = values[p] < threshold;
      if (slow) {
        ++st.slow;
        report.slow.push_back({{s, p}, values[p], threshold, false});
      }
      if (!route.arrived) continue;  // no links to blame or clear
      measured.push_back({{s, p}, slow});
      linkStart.push_back(static_cast<uint32_t>(linkList.size()));
      linkList.push_back(static_cast<uint32_t>(index(src)));
      for (uint32_t h = route.first; h < route.first + route.count; ++h)
        linkList.push_back(static_cast<uint32_t>(index(check.hops[h])));
    }
  }
  linkStart.push_back(static_cast<uint32_t>(linkList.size()));

  // Which measured pairs cross each link.
  Crossings cross;
  cross.start.assign(links + 1, 0);
  for (uint32_t l : linkList) ++cross.start[l + 1];
  for (size_t l = 0; l < links; ++l) cross.start[l + 1] += cross.start[l];
  cross.ids.resize(linkList.size());
  {
    std::vector<uint32_t> fill(cross.start.begin(), cross.start.end() - 1);
    for (uint32_t m = 0; m < measured.size(); ++m)
      for (uint32_t k = linkStart[m]; k < linkStart[m + 1]; ++k) cross.ids[fill[linkList[k]]++] = m;
  }

  // Sound links: crossed by a fast pair of a collision-free stage.
  std::vector<bool> sound(links, false);
  std::vector<uint32_t> slowCount(links, 0), fastCount(links, 0);
  for (uint32_t m = 0; m < measured.size(); ++m) {
    bool clears = !measured[m].slow && checks[measured[m].ref.stage].collisionFree();
    for (uint32_t k = linkStart[m]; k < linkStart[m + 1]; ++k) {
      uint32_t l = linkList[k];
      (measured[m].slow ? slowCount : fastCount)[l] += 1;
      if (clears) sound[l] = true;
    }
  }

  // Greedy cover with a lazy max-heap of (slow pairs still uncovered, link).
  std::vector<bool> covered(measured.size(), false);
  auto uncovered = [&](size_t l) {
    uint32_t n = 0;
    for (uint32_t m : cross.of(l)) n += measured[m].slow && !covered[m];
    return n;
  };
  struct Entry {
    uint32_t gain;
    uint32_t link;
  };
  auto lessPromising = [&](const Entry& a, const Entry& b) {
    if (a.gain != b.gain) return a.gain < b.gain;
    if (fastCount[a.link] != fastCount[b.link]) return fastCount[a.link] > fastCount[b.link];
    return a.link > b.link;
  };
  std::priority_queue<Entry, std::vector<Entry>, decltype(lessPromising)> heap(lessPromising);
  for (size_t l = 0; l < links; ++l)
    if (slowCount[l] > 0 && !sound[l]) heap.push({slowCount[l], static_cast<uint32_t>(l)});
  while (!heap.empty()) {
    Entry top = heap.top();
    heap.pop();
    uint32_t gain = uncovered(top.link);
    if (gain == 0) continue;
    if (gain < top.gain) {
      heap.push({gain, top.link});
      continue;
    }
    Suspect suspect{firstPort + top.link, slowCount[top.link], fastCount[top.link], gain, {}};
    std::span<const uint32_t> mine = cross.of(top.link);
    for (uint32_t m : mine) covered[m] = covered[m] || measured[m].slow;
    // Twins lie on the path of every pair crossing this link, so on the first.
    uint32_t m0 = mine.front();
    for (uint32_t k = linkStart[m0]; k < linkStart[m0 + 1]; ++k) {
      uint32_t l = linkList[k];
      std::span<const uint32_t> theirs = cross.of(l);
      if (l != top.link && std::equal(mine.begin(), mine.end(), theirs.begin(), theirs.end()))
        suspect.twins.push_back(firstPort + l);
    }
    report.suspects.push_back(std::move(suspect));
  }

  // Greedy picks can become redundant: a link chosen early for pairs that the
  // later picks all explain too (a host whose every pair crossed some bad
  // cable). Going back from the last pick, drop each suspect whose slow pairs
  // the others all cover, then recount what each one adds in order.
  std::vector<uint32_t> coverCount(measured.size(), 0);
  for (const Suspect& su : report.suspects)
    for (uint32_t m : cross.of(index(su.link))) coverCount[m] += measured[m].slow;
  std::vector<bool> keep(report.suspects.size(), true);
  for (size_t i = report.suspects.size(); i-- > 0;) {
    std::span<const uint32_t> mine = cross.of(index(report.suspects[i].link));
    bool redundant = std::all_of(mine.begin(), mine.end(), [&](uint32_t m) {
      return !measured[m].slow || coverCount[m] > 1;
    });
    if (!redundant) continue;
    keep[i] = false;
    for (uint32_t m : mine) coverCount[m] -= measured[m].slow;
  }
  std::vector<Suspect> kept;
  std::vector<bool> counted(measured.size(), false);
  for (size_t i = 0; i < report.suspects.size(); ++i) {
    if (!keep[i]) continue;
    Suspect& su = report.suspects[i];
    su.explains = 0;
    for (uint32_t m : cross.of(index(su.link)))
      if (measured[m].slow && !counted[m]) {
        counted[m] = true;
        ++su.explains;
      }
    kept.push_back(std::move(su));
  }
  report.suspects = std::move(kept);

  // Slow pairs left uncovered cross only sound links (or have no path).
  size_t next = 0;
  for (SlowPair& sp : report.slow) {
    while (next < measured.size() &&
           (measured[next].ref.stage < sp.ref.stage ||
            (measured[next].ref.stage == sp.ref.stage && measured[next].ref.pair < sp.ref.pair)))
      ++next;
    sp.explained = next < measured.size() && measured[next].ref.stage == sp.ref.stage &&
                   measured[next].ref.pair == sp.ref.pair && covered[next];
  }
  return report;
}
