#include "check/link_ranking.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <queue>

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
                           const SlowRule& rule, const Expected& expected) {
  SuspectReport report;
  const IBPort* firstPort = fabric.ports().data();
  const size_t links = fabric.ports().size();
  auto index = [&](const IBPort* p) { return static_cast<size_t>(p - firstPort); };

  // The measured pairs with a complete path, each with its links.
  struct Measured {
    PairRef ref;
    bool slow;
    double value, threshold;
  };
  std::vector<Measured> measured;
  std::vector<uint32_t>
      linkStart;  // links of measured pair m: linkList[linkStart[m], linkStart[m+1])
  std::vector<uint32_t> linkList;

  // What pairs reach, as a share of what they should, pooled over stages;
  // and the same for the pairs that should reach the same rate (within 1%),
  // which is what judges a pair where there are enough of them: hosts
  // limited at one rate make pairs on faster paths reach less of theirs.
  std::vector<double> shares, expectedAll;
  std::map<int64_t, std::vector<double>> sharesAt;
  auto rateClass = [](double e) { return static_cast<int64_t>(std::floor(std::log(e) / 0.01)); };
  for (uint32_t s = 0; s < plan.stages.size(); ++s)
    for (uint32_t p = 0; p < results.values[s].size(); ++p) {
      double v = results.values[s][p], e = expected.rate[s][p];
      if (std::isnan(v) || !(e > 0)) continue;
      shares.push_back(v / e);
      sharesAt[rateClass(e)].push_back(v / e);
      expectedAll.push_back(e);
    }
  report.reach = median(shares);
  constexpr size_t kPeers = 8;  // fewer pairs alike: judged by all pairs
  std::map<int64_t, double> reachAt;
  for (auto& [c, v] : sharesAt)
    if (v.size() >= kPeers) reachAt[c] = median(std::move(v));
  const double typical = median(expectedAll);
  // With a known host rate the expected rates are the bar; otherwise what
  // pairs actually reach is, and the link rate is only a ceiling.
  const double bar = rule.hostRate > 0 ? 1.0 : report.reach;
  if (!rule.given && expected.ceiling && !shares.empty()) {
    char pct[32];
    std::snprintf(pct, sizeof pct, "%.0f%%", 100 * report.reach);
    if (rule.hostRate > 0 && report.reach < 0.8)
      report.warning = std::string("pairs reach ") + pct +
                       " of what the link rates and --host-rate allow: hosts slower than "
                       "--host-rate, or values in another unit than --unit?";
    else if (rule.hostRate == 0 && report.reach < 0.8)
      report.warning = std::string("pairs reach ") + pct +
                       " of the recorded link rate: hosts limited, or values in another unit "
                       "than --unit? (--host-rate gives the host ceiling)";
    else if (report.reach > 1.25)
      report.warning = std::string("pairs reach ") + pct +
                       " of the recorded link rate: values in another unit than --unit?";
  }

  size_t slowTotal = 0, measuredTotal = 0;
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
    bool first = true;

    for (uint32_t p = 0; p < values.size(); ++p) {
      if (std::isnan(values[p])) continue;
      const PairRoute& route = check.routes[p];
      const IBPort* src = plan.stages[s].pairs[p].src;
      double e = expected.rate[s][p];
      double reach = bar;
      if (rule.hostRate == 0 && e > 0)
        if (auto it = reachAt.find(rateClass(e)); it != reachAt.end()) reach = it->second;
      double threshold = rule.given ? rule.slowBelow : 0.9 * reach * (e > 0 ? e : typical);
      st.threshold = first ? threshold : std::min(st.threshold, threshold);
      st.thresholdMax = first ? threshold : std::max(st.thresholdMax, threshold);
      first = false;
      bool slow = values[p] < threshold;
      ++measuredTotal;
      if (slow) {
        ++st.slow;
        ++slowTotal;
        report.slow.push_back({{s, p}, values[p], threshold, false});
      }
      if (!route.arrived) continue;  // no links to blame or clear
      measured.push_back({{s, p}, slow, values[p], threshold});
      linkStart.push_back(static_cast<uint32_t>(linkList.size()));
      linkList.push_back(static_cast<uint32_t>(index(src)));
      for (uint32_t h = route.first; h < route.first + route.count; ++h)
        linkList.push_back(static_cast<uint32_t>(index(check.hops[h])));
    }
  }
  // Most pairs slow says something about the bar, not about links: a cover
  // would name hundreds of them.
  report.mostSlow = 2 * slowTotal > measuredTotal;
  if (report.mostSlow)
    for (Measured& m : measured) m.slow = false;
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

  // What each link is known to carry: the most a fast pair of a
  // collision-free stage reached across it. A link explains a slow pair only
  // if that is below the pair's threshold; with equal link rates, a link
  // that any such fast pair crosses is sound. Where rates differ, a fast
  // pair held back elsewhere (a slower host link) clears only as much.
  std::vector<double> proven(links, 0);
  std::vector<uint32_t> slowCount(links, 0), fastCount(links, 0);
  for (uint32_t m = 0; m < measured.size(); ++m) {
    bool clears = !measured[m].slow && checks[measured[m].ref.stage].collisionFree();
    for (uint32_t k = linkStart[m]; k < linkStart[m + 1]; ++k) {
      uint32_t l = linkList[k];
      (measured[m].slow ? slowCount : fastCount)[l] += 1;
      if (clears) proven[l] = std::max(proven[l], measured[m].value);
    }
  }
  auto blames = [&](size_t l, uint32_t m) {
    return measured[m].slow && measured[m].threshold > proven[l];
  };

  // Greedy cover with a lazy max-heap of (slow pairs still uncovered, link).
  std::vector<bool> covered(measured.size(), false);
  auto uncovered = [&](size_t l) {
    uint32_t n = 0;
    for (uint32_t m : cross.of(l)) n += blames(l, m) && !covered[m];
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
    if (uint32_t n = slowCount[l] > 0 ? uncovered(l) : 0; n > 0)
      heap.push({n, static_cast<uint32_t>(l)});
  while (!heap.empty()) {
    Entry top = heap.top();
    heap.pop();
    uint32_t gain = uncovered(top.link);
    if (gain == 0) continue;
    if (gain < top.gain) {
      heap.push({gain, top.link});
      continue;
    }
    Suspect suspect;
    suspect.link = firstPort + top.link;
    suspect.slowPairs = slowCount[top.link];
    suspect.fastPairs = fastCount[top.link];
    suspect.explains = gain;
    std::span<const uint32_t> mine = cross.of(top.link);
    for (uint32_t m : mine) covered[m] = covered[m] || blames(top.link, m);
    // Twins are the links the same slow pairs blame, and no other: nothing
    // measured tells them apart. They lie on the path of every such pair,
    // so on the first.
    auto blamedBy = [&](size_t l) {
      std::vector<uint32_t> out;
      for (uint32_t m : cross.of(l))
        if (blames(l, m)) out.push_back(m);
      return out;
    };
    const std::vector<uint32_t> blamed = blamedBy(top.link);
    const uint32_t m0 = blamed.front();
    for (uint32_t k = linkStart[m0]; k < linkStart[m0 + 1]; ++k) {
      uint32_t l = linkList[k];
      if (l != top.link && blamedBy(l) == blamed) suspect.twins.push_back(firstPort + l);
    }
    suspect.links = {suspect.link};
    suspect.links.insert(suspect.links.end(), suspect.twins.begin(), suspect.twins.end());
    report.suspects.push_back(std::move(suspect));
  }

  // Greedy picks can become redundant: a link chosen early for pairs that the
  // later picks all explain too (a host whose every pair crossed some bad
  // cable). Going back from the last pick, drop each suspect whose slow pairs
  // the others all cover, then recount what each one adds in order.
  std::vector<uint32_t> coverCount(measured.size(), 0);
  for (const Suspect& su : report.suspects)
    for (uint32_t m : cross.of(index(su.link))) coverCount[m] += blames(index(su.link), m);
  std::vector<bool> keep(report.suspects.size(), true);
  for (size_t i = report.suspects.size(); i-- > 0;) {
    const size_t l = index(report.suspects[i].link);
    std::span<const uint32_t> mine = cross.of(l);
    bool redundant = std::all_of(mine.begin(), mine.end(),
                                 [&](uint32_t m) { return !blames(l, m) || coverCount[m] > 1; });
    if (!redundant) continue;
    keep[i] = false;
    for (uint32_t m : mine) coverCount[m] -= blames(l, m);
  }
  std::vector<Suspect> kept;
  std::vector<bool> counted(measured.size(), false);
  for (size_t i = 0; i < report.suspects.size(); ++i) {
    if (!keep[i]) continue;
    Suspect& su = report.suspects[i];
    su.explains = 0;
    for (uint32_t m : cross.of(index(su.link)))
      if (blames(index(su.link), m) && !counted[m]) {
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

void mergeCables(SuspectReport* report) {
  // Two classes are one cable's two directions when each link of one is the
  // reverse of a link of the other, or when one is a single link whose
  // reverse the other holds (the other direction in a class with links no
  // test splits off: the cable is the simpler story).
  auto holds = [](const Suspect& s, const IBPort* l) {
    return std::find(s.links.begin(), s.links.end(), l) != s.links.end();
  };
  auto reverses = [&](const Suspect& a, const Suspect& b) {
    if (a.links.size() == 1 || b.links.size() == 1)
      return holds(b, a.links[0]->remote) || holds(a, b.links[0]->remote);
    if (a.links.size() != b.links.size()) return false;
    for (const IBPort* l : a.links)
      if (!holds(b, l->remote)) return false;
    return true;
  };
  std::vector<Suspect>& all = report->suspects;
  std::vector<bool> gone(all.size(), false);
  for (size_t i = 0; i < all.size(); ++i) {
    if (gone[i]) continue;
    Suspect& a = all[i];
    // Within a class: every link's reverse is in it too.
    a.cable = a.links.size() > 1 && a.links.size() % 2 == 0 && reverses(a, a);
    for (size_t j = i + 1; j < all.size() && !a.cable; ++j) {
      if (gone[j] || !reverses(a, all[j])) continue;
      Suspect& b = all[j];
      a.links.insert(a.links.end(), b.links.begin(), b.links.end());
      a.twins.push_back(b.link);
      a.twins.insert(a.twins.end(), b.twins.begin(), b.twins.end());
      a.slowPairs += b.slowPairs;
      a.fastPairs += b.fastPairs;
      a.explains += b.explains;
      a.together.insert(a.together.end(), b.together.begin(), b.together.end());
      a.splittable = a.splittable || b.splittable;
      a.hidden = a.hidden || b.hidden;
      a.separationKnown = a.separationKnown && b.separationKnown;
      a.cable = true;
      gone[j] = true;
    }
  }
  std::vector<Suspect> kept;
  for (size_t i = 0; i < all.size(); ++i)
    if (!gone[i]) kept.push_back(std::move(all[i]));
  all = std::move(kept);
}
