// Time of the host-to-host route check on generated fat trees, up to the
// 11,664-host three-level tree of 36-port switches.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "fabric/fabric.h"
#include "tools/fabricgen.h"

namespace {

// Fabrics are built once per shape: building one takes longer than checking it.
IBFabric* fatTree(int levels, bool privateTables, GenSummary& summary, std::string& err) {
  static std::unique_ptr<IBFabric> fabrics[2][2];
  static GenSummary summaries[2][2];
  std::unique_ptr<IBFabric>& slot = fabrics[levels == 3][privateTables];
  if (!slot) {
    GenOptions options;
    options.levels = levels;
    options.radix = 36;
    options.privateTables = privateTables;
    auto fabric = std::make_unique<IBFabric>();
    if (!generateFabric(options, *fabric, &err, &summaries[levels == 3][privateTables]))
      return nullptr;
    slot = std::move(fabric);
  }
  summary = summaries[levels == 3][privateTables];
  return slot.get();
}

void BM_RouteCheck(benchmark::State& state) {
  int levels = static_cast<int>(state.range(0));
  bool privateTables = state.range(1) != 0;
  GenSummary summary;
  std::string err;
  IBFabric* fabric = fatTree(levels, privateTables, summary, err);
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
    ->ArgNames({"levels", "private"})
    ->Args({2, 0})
    ->Args({3, 0})
    ->Args({3, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
