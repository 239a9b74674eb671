#include "check/flow_model.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>

#include "pairs/endpoints.h"

LinkRates recordedLinkRates(const IBFabric& fabric, double unitPerMbps, double fallback) {
  LinkRates out;
  const std::span<const IBPort> ports = fabric.ports();
  out.rate.assign(ports.size(), 0);
  std::map<double, size_t> counts;
  for (const IBPort& p : ports)
    if (p.remote && p.width && p.speed)
      ++counts[static_cast<double>(p.width) * p.speed * (p.speed <= 10000 ? 0.8 : 1.0)];
  double usual = 0;
  size_t most = 0;
  for (const auto& [rate, n] : counts)
    if (n >= most) {
      usual = rate;
      most = n;
    }
  out.recorded = most > 0;
  for (size_t i = 0; i < ports.size(); ++i) {
    const IBPort& p = ports[i];
    if (!p.remote) continue;
    double mbps = p.width && p.speed
                      ? static_cast<double>(p.width) * p.speed * (p.speed <= 10000 ? 0.8 : 1.0)
                      : usual;
    out.rate[i] = out.recorded ? mbps * unitPerMbps : fallback;
  }
  return out;
}

bool parseDegradation(const IBFabric& fabric, const std::string& text, Degradation* out,
                      std::string* err) {
  const size_t eq = text.rfind('=');
  const std::string name = text.substr(0, eq == std::string::npos ? text.size() : eq);
  const size_t slash = name.rfind("/P");
  *err = "--degrade needs PORT=FRACTION (SWITCH/P<n> or HOST/P<n>, FRACTION from 0 to 1), not '" +
         text + "'";
  if (eq == std::string::npos || slash == std::string::npos) return false;
  const char* fb = text.c_str() + eq + 1;
  const char* fe = text.c_str() + text.size();
  double fraction;
  auto [fp, ec] = std::from_chars(fb, fe, fraction);
  if (ec != std::errc() || fp != fe || !(fraction >= 0 && fraction <= 1)) return false;
  unsigned n = 0;
  const char* nb = name.c_str() + slash + 2;
  const char* ne = name.c_str() + name.size();
  auto [np, nec] = std::from_chars(nb, ne, n);
  if (nec != std::errc() || np != ne || nb == ne) return false;
  const IBPort* port = fabric.getPort(std::string_view(name).substr(0, slash), n);
  if (!port || !port->remote) {
    *err = "--degrade: " + quoted(name) + " is no cabled port of the fabric";
    return false;
  }
  *out = {port, fraction};
  err->clear();
  return true;
}

namespace {

// Progressive filling over one stage: all unfrozen pairs grow together; the
// resource that fills first freezes the pairs crossing it at their rate.
// Resources are the links, plus each host's send and receive when capped.
void fillStage(const std::vector<std::vector<uint32_t>>& uses, std::vector<double> capacity,
               std::vector<double>* rates) {
  const size_t flows = uses.size();
  std::vector<uint32_t> active(capacity.size(), 0);
  for (const std::vector<uint32_t>& u : uses)
    for (uint32_t r : u) ++active[r];
  std::vector<bool> frozen(flows, false);
  size_t left = flows;
  double level = 0;
  while (left > 0) {
    double step = std::numeric_limits<double>::infinity();
    for (size_t r = 0; r < capacity.size(); ++r)
      if (active[r] > 0) step = std::min(step, capacity[r] / active[r]);
    if (!std::isfinite(step)) break;  // nothing bounds the rest: they keep NaN
    level += step;
    for (size_t r = 0; r < capacity.size(); ++r) capacity[r] -= step * active[r];
    for (size_t f = 0; f < flows; ++f) {
      if (frozen[f]) continue;
      bool full = false;
      for (uint32_t r : uses[f]) full = full || capacity[r] <= 1e-9 * (1 + level);
      if (!full) continue;
      frozen[f] = true;
      --left;
      (*rates)[f] = level;
      for (uint32_t r : uses[f]) --active[r];
    }
  }
}

}  // namespace

std::vector<std::vector<double>> fairShares(const IBFabric& fabric, const PairPlan& plan,
                                            const std::vector<StageCheck>& checks,
                                            const LinkRates& rates, double hostRate) {
  const IBPort* first = fabric.ports().data();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<std::vector<double>> out(plan.stages.size());
  std::vector<int32_t> resourceOf(fabric.ports().size() * 3, -1);  // link, send, receive
  for (size_t s = 0; s < plan.stages.size(); ++s) {
    const Stage& stage = plan.stages[s];
    const StageCheck& check = checks[s];
    out[s].assign(stage.pairs.size(), nan);
    // Resources this stage uses, numbered densely.
    std::vector<double> capacity;
    std::vector<size_t> touched;
    auto resource = [&](size_t key, double cap) {
      if (resourceOf[key] < 0) {
        resourceOf[key] = static_cast<int32_t>(capacity.size());
        capacity.push_back(cap);
        touched.push_back(key);
      }
      return static_cast<uint32_t>(resourceOf[key]);
    };
    std::vector<std::vector<uint32_t>> uses;
    std::vector<size_t> flowPair;
    const size_t n = fabric.ports().size();
    for (size_t p = 0; p < stage.pairs.size(); ++p) {
      const PairRoute& route = check.routes[p];
      if (!route.arrived) continue;
      const size_t src = static_cast<size_t>(stage.pairs[p].src - first);
      const size_t dst = static_cast<size_t>(stage.pairs[p].dst - first);
      std::vector<uint32_t> u = {resource(src, rates.rate[src])};
      for (uint32_t h = route.first; h < route.first + route.count; ++h) {
        const size_t l = static_cast<size_t>(check.hops[h] - first);
        u.push_back(resource(l, rates.rate[l]));
      }
      if (hostRate > 0) {
        u.push_back(resource(n + src, hostRate));
        u.push_back(resource(2 * n + dst, hostRate));
      }
      uses.push_back(std::move(u));
      flowPair.push_back(p);
    }
    std::vector<double> shares(uses.size(), nan);
    fillStage(uses, std::move(capacity), &shares);
    for (size_t f = 0; f < uses.size(); ++f) out[s][flowPair[f]] = shares[f];
    for (size_t key : touched) resourceOf[key] = -1;
  }
  return out;
}
