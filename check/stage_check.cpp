#include "check/stage_check.h"

#include <algorithm>

StageChecker::StageChecker(const IBFabric& fabric)
    : fabric_(fabric),
      firstPort_(fabric.ports().data()),
      walker_(fabric),
      load_(fabric.ports().size(), 0),
      sends_(fabric.ports().size(), 0),
      receives_(fabric.ports().size(), 0),
      touched_(fabric.ports().size(), 0) {
  for (const IBPort& port : fabric.ports())
    cabledSwitchPorts_ += port.owner->isSwitch() && port.remote;
}

std::string linkName(const IBPort& egress) {
  std::string name = egress.getName();
  if (egress.remote) name += " -> " + egress.remote->getName();
  return name;
}

namespace {

// The most pairs a port of path would carry with one more pair.
uint32_t peakWith(const std::vector<const IBPort*>& path, const std::vector<uint32_t>& load,
                  const IBPort* first) {
  uint32_t peak = 0;
  for (const IBPort* p : path) peak = std::max(peak, load[static_cast<size_t>(p - first)] + 1);
  return peak;
}

}  // namespace

StageCheck StageChecker::check(const Stage& stage, const CheckLimits& limits) {
  StageCheck out;
  out.number = stage.number;
  out.pairs = stage.pairs.size();
  out.routes.resize(stage.pairs.size());

  for (size_t i = 0; i < stage.pairs.size(); ++i) {
    const PlanPair& pair = stage.pairs[i];
    PairRoute& route = out.routes[i];
    ++sends_[index(pair.src)];
    ++receives_[index(pair.dst)];
    uint16_t base = pair.dst->baseLid;
    if (base == 0 && pair.lid == 0) {
      route.why = pair.dst->getName() + " has no LID";
      out.broken.push_back(static_cast<uint32_t>(i));
      continue;
    }

    RouteWalk walk;
    route.dlid = pair.lid ? pair.lid : base;
    if (pair.lid == 0 && limits.anyLid) {
      // The first LID that keeps every port within the limit, else the
      // arriving LID with the lowest peak, else the base LID.
      uint32_t bestPeak = UINT32_MAX;
      uint32_t lids = uint32_t{1} << limits.lmc;
      for (uint32_t k = 0; k < lids && base + k <= 0xffff; ++k) {
        uint16_t lid = static_cast<uint16_t>(base + k);
        RouteWalk w = walker_.walk(*pair.src, lid, &path_);
        if (!w.arrivedAt(*pair.dst)) continue;
        uint32_t peak = peakWith(path_, load_, firstPort_);
        if (peak < bestPeak) {
          bestPeak = peak;
          route.dlid = lid;
          walk = w;
          bestPath_.swap(path_);
        }
        if (peak <= limits.maxFlows) break;
      }
      if (bestPeak != UINT32_MAX) path_.swap(bestPath_);
    }
    if (!walk.arrivedAt(*pair.dst)) walk = walker_.walk(*pair.src, route.dlid, &path_);

    if (!walk.arrivedAt(*pair.dst)) {
      route.why = describeRouteWalk(walk, *pair.src, *pair.dst);
      out.broken.push_back(static_cast<uint32_t>(i));
      continue;
    }
    route.arrived = true;
    route.first = static_cast<uint32_t>(out.hops.size());
    route.count = static_cast<uint32_t>(path_.size());
    for (const IBPort* p : path_) {
      out.hops.push_back(p);
      ++load_[index(p)];
    }
    ++out.pathLengths[route.count + 1];
  }

  // Hosts sending or receiving more than once; the counters go back to 0.
  for (const PlanPair& pair : stage.pairs) {
    for (bool sending : {true, false}) {
      const IBPort* host = sending ? pair.src : pair.dst;
      uint32_t& times = (sending ? sends_ : receives_)[index(host)];
      if (times == 0) continue;
      (sending ? out.sources : out.destinations) += 1;
      if (times > 1)
        (sending ? out.repeatedSources : out.repeatedDestinations).push_back({host, times});
      times = 0;
    }
  }

  // Loads of the cabled switch ports, and the busiest of them. Only the ports
  // the paths cross are visited (load_ is all 0 between stages), so a stage
  // costs its paths and not the fabric's size.
  std::vector<const IBPort*> touched;
  for (const IBPort* p : out.hops)
    if (!touched_[index(p)]) {
      touched_[index(p)] = 1;
      touched.push_back(p);
    }
  std::vector<const IBPort*> loaded;
  for (const IBPort* p : touched) {
    touched_[index(p)] = 0;
    if (!p->owner->isSwitch() || !p->remote) continue;
    uint32_t load = load_[index(p)];
    ++out.loadHistogram[load];
    out.maxLoad = std::max(out.maxLoad, load);
    if (load > limits.maxFlows) ++out.portsOverLimit;
    loaded.push_back(p);
  }
  if (cabledSwitchPorts_ > loaded.size()) out.loadHistogram[0] = cabledSwitchPorts_ - loaded.size();
  size_t shown = limits.busiest == 0 ? loaded.size() : std::min(limits.busiest, loaded.size());
  std::partial_sort(loaded.begin(), loaded.begin() + static_cast<ptrdiff_t>(shown), loaded.end(),
                    [&](const IBPort* a, const IBPort* b) {
                      uint32_t la = load_[index(a)], lb = load_[index(b)];
                      return la != lb ? la > lb : a < b;
                    });
  loaded.resize(shown);
  // The pairs crossing each listed port: mark the listed ports by their
  // position in the list (load_ is no longer needed past this point).
  for (const IBPort* p : loaded) out.busiest.push_back({p, load_[index(p)], {}});
  for (const IBPort* p : touched) load_[index(p)] = 0;
  for (size_t k = 0; k < loaded.size(); ++k) load_[index(loaded[k])] = static_cast<uint32_t>(k + 1);
  for (size_t i = 0; i < out.routes.size(); ++i) {
    const PairRoute& r = out.routes[i];
    for (uint32_t h = r.first; h < r.first + r.count; ++h)
      if (uint32_t k = load_[index(out.hops[h])]; k != 0)
        out.busiest[k - 1].pairs.push_back(static_cast<uint32_t>(i));
  }
  for (const IBPort* p : loaded) load_[index(p)] = 0;
  return out;
}
