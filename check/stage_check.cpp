#include "check/stage_check.h"

#include <algorithm>
#include <random>
#include <span>

StageChecker::StageChecker(const IBFabric& fabric)
    : firstPort_(fabric.ports().data()),
      walker_(fabric),
      load_(fabric.ports().size(), 0),
      sends_(fabric.ports().size(), 0),
      receives_(fabric.ports().size(), 0),
      touched_(fabric.ports().size(), 0),
      demand_(fabric.ports().size(), 0),
      lastPair_(fabric.ports().size(), 0) {
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

// The pairs whose LID is free, each with the LIDs whose path arrives, and per
// LID the ports of its path that some other choice could overload. Only
// those ports constrain the choice: a path over uncontested ports always
// fits.
struct StageChecker::Choices {
  std::vector<uint32_t> pair;         // per free pair: its index in the stage
  std::vector<uint32_t> firstOption;  // per free pair: its options [first, next first)
  std::vector<uint16_t> optionLid;
  std::vector<uint32_t> firstPort;  // per option: its contested ports [first, next first)
  std::vector<uint32_t> ports;      // port indices
};

LidSearch StageChecker::chooseLids(const Stage& stage, const CheckLimits& limits,
                                   std::vector<uint16_t>* lidOf) {
  const uint32_t lids = uint32_t{1} << limits.lmc;
  lidOf->assign(stage.pairs.size(), 0);
  std::vector<const IBPort*> touched;
  auto addLoad = [&](const std::vector<const IBPort*>& path) {
    for (const IBPort* p : path)
      if (load_[index(p)]++ == 0) touched.push_back(p);
  };
  auto clearLoads = [&] {
    for (const IBPort* p : touched) load_[index(p)] = 0;
    touched.clear();
  };

  // First fit in file order: each free pair takes the first LID whose path
  // keeps every port within the limit given the pairs before it, else the
  // arriving LID with the lowest peak, else its base LID.
  bool over = false;
  for (size_t i = 0; i < stage.pairs.size(); ++i) {
    const PlanPair& pair = stage.pairs[i];
    uint16_t base = pair.dst->baseLid;
    if (pair.lid == 0 && base == 0) continue;
    if (pair.lid != 0) {
      if (walker_.walk(*pair.src, pair.lid, &path_).arrivedAt(*pair.dst)) addLoad(path_);
      continue;
    }
    (*lidOf)[i] = base;
    uint32_t bestPeak = UINT32_MAX;
    for (uint32_t k = 0; k < lids && base + k <= 0xffff; ++k) {
      uint16_t lid = static_cast<uint16_t>(base + k);
      if (!walker_.walk(*pair.src, lid, &path_).arrivedAt(*pair.dst)) continue;
      uint32_t peak = peakWith(path_, load_, firstPort_);
      if (peak < bestPeak) {
        bestPeak = peak;
        (*lidOf)[i] = lid;
        bestPath_.swap(path_);
      }
      if (peak <= limits.maxFlows) break;
    }
    if (bestPeak == UINT32_MAX) continue;
    over |= bestPeak > limits.maxFlows;
    addLoad(bestPath_);
  }
  clearLoads();
  if (!over) return LidSearch::kFirstFit;

  // First fit overloads a port: search every choice. Fixed LIDs load the
  // ports first (load_); demand_ counts the free pairs that could cross each
  // port, each pair once.
  Choices c;
  std::vector<uint32_t> pathPorts;  // options' whole paths, before the cut
  std::vector<uint32_t> pathFirst;
  std::vector<uint32_t> demandTouched;
  for (size_t i = 0; i < stage.pairs.size(); ++i) {
    const PlanPair& pair = stage.pairs[i];
    if (pair.lid != 0) {
      if (walker_.walk(*pair.src, pair.lid, &path_).arrivedAt(*pair.dst)) addLoad(path_);
      continue;
    }
    uint16_t base = pair.dst->baseLid;
    if (base == 0) continue;
    uint32_t before = static_cast<uint32_t>(c.optionLid.size());
    for (uint32_t k = 0; k < lids && base + k <= 0xffff; ++k) {
      uint16_t lid = static_cast<uint16_t>(base + k);
      if (!walker_.walk(*pair.src, lid, &path_).arrivedAt(*pair.dst)) continue;
      c.optionLid.push_back(lid);
      pathFirst.push_back(static_cast<uint32_t>(pathPorts.size()));
      for (const IBPort* p : path_) {
        uint32_t at = static_cast<uint32_t>(index(p));
        pathPorts.push_back(at);
        if (lastPair_[at] != i + 1) {
          lastPair_[at] = static_cast<uint32_t>(i + 1);
          if (demand_[at]++ == 0) demandTouched.push_back(at);
        }
      }
    }
    if (c.optionLid.size() == before) continue;  // no LID arrives: a broken path either way
    c.pair.push_back(static_cast<uint32_t>(i));
    c.firstOption.push_back(before);
  }
  c.firstOption.push_back(static_cast<uint32_t>(c.optionLid.size()));
  pathFirst.push_back(static_cast<uint32_t>(pathPorts.size()));
  auto contested = [&](uint32_t at) { return load_[at] + demand_[at] > limits.maxFlows; };
  for (size_t o = 0; o < c.optionLid.size(); ++o) {
    c.firstPort.push_back(static_cast<uint32_t>(c.ports.size()));
    for (uint32_t k = pathFirst[o]; k < pathFirst[o + 1]; ++k)
      if (contested(pathPorts[k])) c.ports.push_back(pathPorts[k]);
  }
  c.firstPort.push_back(static_cast<uint32_t>(c.ports.size()));
  for (uint32_t at : demandTouched) demand_[at] = 0;
  for (uint32_t at : demandTouched) lastPair_[at] = 0;

  std::vector<uint32_t> chosen;  // per free pair: its option
  LidSearch result = searchChoices(c, limits.maxFlows, &chosen);
  clearLoads();
  if (result != LidSearch::kFound) return result;
  for (size_t k = 0; k < c.pair.size(); ++k) (*lidOf)[c.pair[k]] = c.optionLid[chosen[k]];
  return result;
}

// Depth-first over the free pairs with forward checking: a port that fills
// up blocks every option crossing it, a pair left without an open option
// undoes the last choice at once, and the pair with the fewest open options
// goes next. load_ holds the fixed pairs' loads and is restored on return.
// Pairs with an option over no contested port take it and stay out. Exact
// up to kLidSearchSteps units of work (an option tried, or a pair looked at
// when picking the next).
LidSearch StageChecker::searchChoices(const Choices& c, uint32_t maxFlows,
                                      std::vector<uint32_t>* chosen) {
  const uint32_t pairs = static_cast<uint32_t>(c.pair.size());
  const uint32_t options = static_cast<uint32_t>(c.optionLid.size());
  chosen->assign(pairs, 0);
  std::vector<uint32_t> owner(options);
  std::vector<uint32_t> open(pairs, 0);       // per pair: options with no full port
  std::vector<uint32_t> blocked(options, 0);  // per option: full ports on it
  std::vector<uint32_t> left;                 // pairs still to choose for
  for (uint32_t k = 0; k < pairs; ++k) {
    bool settled = false;
    for (uint32_t o = c.firstOption[k]; o < c.firstOption[k + 1]; ++o) {
      owner[o] = k;
      if (!settled && c.firstPort[o] == c.firstPort[o + 1]) {
        (*chosen)[k] = o;
        settled = true;
      }
    }
    if (!settled) left.push_back(k);
  }
  if (repairChoices(c, maxFlows, left, chosen)) return LidSearch::kFound;
  std::vector<uint8_t> inSearch(pairs, 0);
  for (uint32_t k : left) inSearch[k] = 1;

  // The options crossing each contested port: crossing[portAt[port] ...].
  std::vector<uint32_t> contestedPorts;
  for (uint32_t o = 0; o < options; ++o)
    for (uint32_t k = c.firstPort[o]; k < c.firstPort[o + 1]; ++k)
      if (demand_[c.ports[k]]++ == 0) contestedPorts.push_back(c.ports[k]);
  // demand_ now counts options per port; turn it into offsets (+1, 0: none).
  std::vector<uint32_t> crossing(c.ports.size());
  std::vector<uint32_t> begin(contestedPorts.size() + 1, 0);
  for (size_t i = 0; i < contestedPorts.size(); ++i) {
    begin[i + 1] = begin[i] + demand_[contestedPorts[i]];
    demand_[contestedPorts[i]] = static_cast<uint32_t>(i + 1);
  }
  {
    std::vector<uint32_t> at(begin.begin(), begin.end() - 1);
    for (uint32_t o = 0; o < options; ++o)
      for (uint32_t k = c.firstPort[o]; k < c.firstPort[o + 1]; ++k)
        crossing[at[demand_[c.ports[k]] - 1]++] = o;
  }
  auto crossers = [&](uint32_t port) {
    uint32_t i = demand_[port] - 1;
    return std::span<const uint32_t>(crossing.data() + begin[i], begin[i + 1] - begin[i]);
  };
  for (uint32_t k = 0; k < pairs; ++k) open[k] = c.firstOption[k + 1] - c.firstOption[k];
  // Ports the fixed pairs already fill block their options from the start.
  for (uint32_t port : contestedPorts)
    if (load_[port] >= maxFlows)
      for (uint32_t o : crossers(port))
        if (blocked[o]++ == 0) --open[owner[o]];

  // Takes option o; false when some pair still to choose is left without an
  // open option (the option is then to be undone all the same).
  auto take = [&](uint32_t o) {
    bool fine = true;
    for (uint32_t k = c.firstPort[o]; k < c.firstPort[o + 1]; ++k) {
      uint32_t port = c.ports[k];
      if (++load_[port] != maxFlows) continue;
      for (uint32_t o2 : crossers(port))
        if (blocked[o2]++ == 0 && --open[owner[o2]] == 0 && inSearch[owner[o2]]) fine = false;
    }
    return fine;
  };
  auto undo = [&](uint32_t o) {
    for (uint32_t k = c.firstPort[o]; k < c.firstPort[o + 1]; ++k) {
      uint32_t port = c.ports[k];
      if (load_[port]-- != maxFlows) continue;
      for (uint32_t o2 : crossers(port))
        if (--blocked[o2] == 0) ++open[owner[o2]];
    }
  };

  struct Frame {
    uint32_t pair;
    uint32_t next;  // the next option to try
  };
  std::vector<Frame> stack;
  uint64_t steps = 0;
  LidSearch result = LidSearch::kFound;
  // The pair with the fewest open options among those left; removed from left.
  auto pick = [&] {
    size_t best = 0;
    for (size_t i = 1; i < left.size(); ++i)
      if (open[left[i]] < open[left[best]]) best = i;
    steps += left.size();
    uint32_t k = left[best];
    left[best] = left.back();
    left.pop_back();
    inSearch[k] = 0;
    return k;
  };
  if (!left.empty()) {
    uint32_t k = pick();
    stack.push_back({k, c.firstOption[k]});
  }
  while (!stack.empty()) {
    Frame& f = stack.back();
    uint32_t o = f.next;
    while (o < c.firstOption[f.pair + 1] && blocked[o] != 0) ++o;
    if (o == c.firstOption[f.pair + 1]) {
      // No option of this pair is left: back to the choice before.
      left.push_back(f.pair);
      inSearch[f.pair] = 1;
      stack.pop_back();
      if (stack.empty()) {
        result = LidSearch::kNoChoice;
        break;
      }
      undo((*chosen)[stack.back().pair]);
      continue;
    }
    f.next = o + 1;
    if (++steps > kLidSearchSteps) {
      result = LidSearch::kStopped;
      break;
    }
    (*chosen)[f.pair] = o;
    if (!take(o)) {
      undo(o);
      continue;
    }
    if (left.empty()) break;  // every pair has its option
    uint32_t k = pick();
    stack.push_back({k, c.firstOption[k]});
  }
  // Back to the fixed pairs' loads.
  if (result == LidSearch::kFound) {
    for (const Frame& f : stack) undo((*chosen)[f.pair]);
  } else {
    for (size_t d = 0; d + 1 < stack.size(); ++d) undo((*chosen)[stack[d].pair]);
  }
  for (uint32_t port : contestedPorts) demand_[port] = 0;
  return result;
}

// Repairs the choice before any exhaustive search: from each pair's first
// option, sweeps move every pair that crosses an overloaded port to the
// option with the least overload given the others (ties drawn from a fixed
// seed, so the answer is the same on every run). Loose stages, where first
// fit went wrong on a few ports, come right in a few sweeps. True with
// *chosen set when no port is left overloaded; load_ is restored.
bool StageChecker::repairChoices(const Choices& c, uint32_t maxFlows,
                                 const std::vector<uint32_t>& pairs,
                                 std::vector<uint32_t>* chosen) {
  if (pairs.empty()) return true;
  std::vector<uint32_t> pick(*chosen);
  for (uint32_t k : pairs) pick[k] = c.firstOption[k];
  auto add = [&](uint32_t o, int delta) {
    for (uint32_t k = c.firstPort[o]; k < c.firstPort[o + 1]; ++k)
      load_[c.ports[k]] = static_cast<uint32_t>(static_cast<int64_t>(load_[c.ports[k]]) + delta);
  };
  for (uint32_t k : pairs) add(pick[k], +1);
  // Overload an option adds to the ports it crosses, the pair's own load out.
  auto overload = [&](uint32_t o) {
    uint64_t over = 0;
    for (uint32_t k = c.firstPort[o]; k < c.firstPort[o + 1]; ++k)
      if (load_[c.ports[k]] + 1 > maxFlows) over += load_[c.ports[k]] + 1 - maxFlows;
    return over;
  };
  std::mt19937 random(12345);
  bool fits = false;
  constexpr int kSweeps = 2000;
  for (int sweep = 0; sweep < kSweeps && !fits; ++sweep) {
    fits = true;
    for (uint32_t k : pairs) {
      add(pick[k], -1);
      uint64_t now = overload(pick[k]);
      if (now > 0 && random() % 8 == 0) {
        // Now and then a random option, so that the sweeps do not cycle.
        fits = false;
        pick[k] = c.firstOption[k] + random() % (c.firstOption[k + 1] - c.firstOption[k]);
      } else if (now > 0) {
        fits = false;
        uint64_t best = now;
        uint32_t ties = 1;
        for (uint32_t o = c.firstOption[k]; o < c.firstOption[k + 1]; ++o) {
          if (o == pick[k]) continue;
          uint64_t over = overload(o);
          if (over < best) {
            best = over;
            pick[k] = o;
            ties = 1;
          } else if (over == best && random() % ++ties == 0) {
            pick[k] = o;
          }
        }
      }
      add(pick[k], +1);
    }
  }
  // A last sweep that moved pairs may have left the ports within the limit.
  if (!fits) {
    fits = true;
    for (uint32_t k : pairs) {
      add(pick[k], -1);
      fits = fits && overload(pick[k]) == 0;
      add(pick[k], +1);
    }
  }
  for (uint32_t k : pairs) add(pick[k], -1);
  if (fits) *chosen = std::move(pick);
  return fits;
}

StageCheck StageChecker::check(const Stage& stage, const CheckLimits& limits) {
  StageCheck out;
  out.number = stage.number;
  out.pairs = stage.pairs.size();
  out.routes.resize(stage.pairs.size());
  std::vector<uint16_t> lidOf;  // with --any-lid, the LID each pair is checked on
  if (limits.anyLid) out.lidSearch = chooseLids(stage, limits, &lidOf);

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

    if (pair.src == pair.dst) {
      route.why = "source and destination are the same port: the traffic never leaves the adapter";
      out.broken.push_back(static_cast<uint32_t>(i));
      continue;
    }
    route.dlid = pair.lid ? pair.lid : lidOf.empty() ? base : lidOf[i];
    RouteWalk walk = walker_.walk(*pair.src, route.dlid, &path_);

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
