// Time of the host-to-host route check on generated fat trees, up to the
// 11,664-host three-level tree of 36-port switches, with LIDs in tree order
// and shuffled.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "fabric/fabric.h"
#include "fabric/routing/route_check.h"
#include "tools/fabricgen.h"

namespace {

// Fabrics are built once per shape: building one takes longer than checking it.
IBFabric* fatTree(int levels, bool privateTables, bool shuffled, GenSummary& summary,
                  std::string& err) {
  static std::unique_ptr<IBFabric> fabrics[2][2][2];
  static GenSummary summaries[2][2][2];
  std::unique_ptr<IBFabric>& slot = fabrics[levels == 3][privateTables][shuffled];
  GenSummary& sum = summaries[levels == 3][privateTables][shuffled];
  if (!slot) {
    GenOptions options;
    options.levels = levels;
    options.radix = 36;
    options.privateTables = privateTables;
    options.shuffled = shuffled;
    options.shuffleSeed = 1;
    auto fabric = std::make_unique<IBFabric>();
    if (!generateFabric(options, *fabric, &err, &sum)) return nullptr;
    slot = std::move(fabric);
  }
  summary = sum;
  return slot.get();
}

void BM_RouteCheck(benchmark::State& state) {
  int levels = static_cast<int>(state.range(0));
  bool privateTables = state.range(1) != 0;
  bool shuffled = state.range(2) != 0;
  GenSummary summary;
  std::string err;
  IBFabric* fabric = fatTree(levels, privateTables, shuffled, summary, err);
  if (!fabric) {
    state.SkipWithError(err.c_str());
    return;
  }
  for (auto _ : state) {
    int rc = SubnMgtVerifyAllCaToCaRoutes(*fabric, nullptr);
    if (rc != 0) {
      state.SkipWithError("the generated fabric has missing routes");
      return;
    }
  }
  double routes = double(summary.hosts) * double(summary.hosts - 1);
  state.counters["hosts"] = summary.hosts;
  state.counters["switches"] = summary.switches;
  state.counters["routes/s"] =
      benchmark::Counter(routes * double(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_RouteCheck)
    ->ArgNames({"levels", "private", "shuffled"})
    ->Args({2, 0, 0})
    ->Args({3, 0, 0})
    ->Args({3, 1, 0})
    ->Args({3, 0, 1})
    ->Args({3, 1, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
