// Generation and writing of synthetic fat trees, from about a thousand hosts
// to the 11,664-host tree of 36-port switches. Files go to a fresh folder
// under /tmp that is removed afterwards.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/fabricgen.h"

namespace {

struct Shape {
  const char* label;
  int levels, radix, leaves, pods;
};

// Index by the benchmark argument.
const Shape kShapes[] = {
    {"2-level radix 64, 1,024 hosts", 2, 64, 32, 0},
    {"3-level radix 36, 12 pods, 3,888 hosts", 3, 36, 0, 12},
    {"3-level radix 36, 11,664 hosts", 3, 36, 0, 0},
};

GenOptions optionsFor(const Shape& s) {
  GenOptions o;
  o.levels = s.levels;
  o.radix = s.radix;
  o.leaves = s.leaves;
  o.pods = s.pods;
  return o;
}

off_t fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

void BM_Generate(benchmark::State& state) {
  const Shape& shape = kShapes[state.range(0)];
  GenSummary sum;
  for (auto _ : state) {
    IBFabric fabric;
    std::string err;
    if (!generateFabric(optionsFor(shape), fabric, &err, &sum)) {
      state.SkipWithError(err.c_str());
      return;
    }
    benchmark::DoNotOptimize(fabric.nodes().data());
  }
  state.SetLabel(shape.label);
  state.counters["hosts"] = sum.hosts;
  state.counters["switches"] = sum.switches;
}

// Generation plus the LST and FDB files, in either layout.
void BM_GenerateAndWrite(benchmark::State& state) {
  const Shape& shape = kShapes[state.range(0)];
  const char layout = state.range(1) == 0 ? 'A' : 'B';
  char dir[] = "/tmp/fabricgen-bench-XXXXXX";
  if (!::mkdtemp(dir)) {
    state.SkipWithError("cannot create a folder under /tmp");
    return;
  }
  const std::string lst = std::string(dir) + "/fabric.lst";
  const std::string fdbs = std::string(dir) + "/fabric.fdbs";
  GenSummary sum;
  int64_t bytes = 0;
  for (auto _ : state) {
    IBFabric fabric;
    std::string err;
    if (!generateFabric(optionsFor(shape), fabric, &err, &sum) ||
        !writeFabricFiles(fabric, dir, layout, &err)) {
      state.SkipWithError(err.c_str());
      break;
    }
    bytes += fileSize(lst) + fileSize(fdbs);
  }
  state.SetLabel(std::string(shape.label) + ", layout " + layout);
  state.SetBytesProcessed(bytes);
  state.counters["hosts"] = sum.hosts;
  state.counters["switches"] = sum.switches;
  state.counters["lst_MB"] = double(fileSize(lst)) / 1e6;
  state.counters["fdb_MB"] = double(fileSize(fdbs)) / 1e6;
  std::remove(lst.c_str());
  std::remove(fdbs.c_str());
  ::rmdir(dir);
}

BENCHMARK(BM_Generate)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GenerateAndWrite)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
