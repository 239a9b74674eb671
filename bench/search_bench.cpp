// The pairing search, fast against literal, on generated fat trees grouped by
// rack with one flow per link.
//   search_bench --benchmark_filter=2000   side by side on 2,000 hosts
//   search_bench --benchmark_filter=11664  the fast search on 11,664 hosts
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "search/dst_search.h"
#include "search/lid_map.h"
#include "search/reference_search.h"
#include "testing/test_fabrics.h"
#include "tools/fabricgen.h"

namespace {

struct Bed {
  IBFabric fabric;
  PortGroups groups;
  // Each group's sources shuffled once, as a run would take them.
  std::vector<std::pair<std::string, std::vector<IBPort*>>> sources;
  size_t hosts = 0;
};

// Three-level trees: radix 20 gives 2,000 hosts, radix 36 gives 11,664.
// With upLinks below radix / 2 the leaves are oversubscribed: many sources
// then fail and the search backtracks through full ports.
Bed& bed(int radix, int upLinks = 0) {
  static std::map<std::pair<int, int>, std::unique_ptr<Bed>> beds;
  std::unique_ptr<Bed>& b = beds[{radix, upLinks}];
  if (!b) {
    b = std::make_unique<Bed>();
    GenOptions gen;
    gen.levels = 3;
    gen.radix = radix;
    gen.upLinks = upLinks;
    std::string err;
    if (!generateFabric(gen, b->fabric, &err)) {
      std::fprintf(stderr, "fabricgen: %s\n", err.c_str());
      std::exit(1);
    }
    b->groups = groupsByRack(b->fabric);
    std::srand(1);
    for (const auto& [name, ports] : b->groups) {
      std::vector<IBPort*> v(ports.begin(), ports.end());
      shuffleWithRand(v);
      b->sources.emplace_back(name, std::move(v));
      b->hosts += ports.size();
    }
  }
  return *b;
}

// Pairs as "src dst".
std::vector<std::string> fastPairs(Bed& b) {
  clearSwitchPortCounters(b.fabric);
  LidGroupMap lidMap;
  std::string err;
  if (!buildLidGroupMap(b.groups, 0, lidMap, &err)) return {err};
  SearchContext ctx(b.fabric);
  const SearchLimits limits{1, 0, 0};
  std::vector<std::string> pairs;
  for (const auto& [name, ports] : b.sources) {
    for (IBPort* src : ports) {
      DstSearchResult r = findDstForSrc(ctx, name, *src, lidMap, limits);
      if (!r.error.empty()) return {r.error};
      if (r.dst) pairs.push_back(src->getName() + " " + r.dst->getName());
    }
  }
  return pairs;
}

std::vector<std::string> literalPairs(Bed& b) {
  reference::clearSwitchPortCounters(b.fabric);
  reference::FreeDsts lidMap;
  std::string err;
  if (!reference::buildLidGroupMap(b.groups, 0, lidMap, &err)) return {err};
  const reference::Limits limits{1, 0, 0};
  reference::Walk walk;
  std::vector<std::string> pairs;
  for (const auto& [name, ports] : b.sources) {
    for (IBPort* src : ports) {
      IBPort* dst = reference::findDstForSrc(name, src, lidMap, limits, walk, &err);
      if (!err.empty()) return {err};
      if (dst) pairs.push_back(src->getName() + " " + dst->getName());
    }
  }
  return pairs;
}

void report(benchmark::State& state, const Bed& b, size_t pairs) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * b.hosts));
  state.counters["hosts"] = static_cast<double>(b.hosts);
  state.counters["pairs"] = static_cast<double>(pairs);
}

void BM_Fast_2000(benchmark::State& state) {
  Bed& b = bed(20, static_cast<int>(state.range(0)));
  // Both searches must give the same pairs before either is timed.
  if (fastPairs(b) != literalPairs(b)) {
    state.SkipWithError("fast and literal searches disagree");
    return;
  }
  size_t pairs = 0;
  for (auto _ : state) pairs = fastPairs(b).size();
  report(state, b, pairs);
}

void BM_Literal_2000(benchmark::State& state) {
  Bed& b = bed(20, static_cast<int>(state.range(0)));
  size_t pairs = 0;
  for (auto _ : state) pairs = literalPairs(b).size();
  report(state, b, pairs);
}

void BM_Fast_11664(benchmark::State& state) {
  Bed& b = bed(36);
  size_t pairs = 0;
  for (auto _ : state) pairs = fastPairs(b).size();
  report(state, b, pairs);
}

// Argument: up links per leaf (0: as many as hosts, 10 here).
BENCHMARK(BM_Fast_2000)->Arg(0)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Literal_2000)->Arg(0)->Arg(5)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Fast_11664)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
