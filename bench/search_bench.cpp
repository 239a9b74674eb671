// The pairing run, the tool's own against the reference search, on
// generated fat trees grouped by rack with one flow per link. Both are the
// library's whole pairing runs (LID map, shuffled sources, search, pairs
// file), so the timings include the tool's writes: a pair line flushed at a
// time, here to /dev/null, and the console reports, sent to /dev/null too.
//   search_bench --benchmark_filter=2000   side by side on 2,000 hosts
//   search_bench --benchmark_filter=11664  the fast search on 11,664 hosts
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "pairs/pairs_file.h"
#include "search/pairing.h"
#include "testing/reference_search.h"
#include "testing/test_fabrics.h"
#include "tools/fabricgen.h"

namespace {

struct Bed {
  IBFabric fabric;
  PortGroups groups;
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
    for (const auto& [name, ports] : b->groups) b->hosts += ports.size();
  }
  return *b;
}

// The tool's pairing run into outFile, from the same rand() state each time,
// with its console reports sent to /dev/null. Returns its exit status.
int fastRun(Bed& b, const std::string& outFile) {
  PairingOptions options;
  options.outFile = outFile;
  std::fflush(stdout);
  const int console = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  close(null);
  std::srand(1);
  const int status = runPairing(b.fabric, b.groups, options);
  std::fflush(stdout);
  dup2(console, STDOUT_FILENO);
  close(console);
  return status;
}

// The reference pairing run, from the same rand() state as fastRun.
reference::RunResult literalRun(Bed& b) {
  std::srand(1);
  return reference::runPairing(b.fabric, b.groups, PairingOptions{});
}

// The pairs file of one untimed fastRun; empty when the run fails.
std::string fastPairsFile(Bed& b) {
  char path[] = "/tmp/search_bench.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return "";
  close(fd);
  std::string file;
  if (fastRun(b, path) == 0) {
    FILE* f = std::fopen(path, "rb");
    char buf[65536];
    for (size_t n; f && (n = std::fread(buf, 1, sizeof buf, f)) > 0;) file.append(buf, n);
    if (f) std::fclose(f);
  }
  std::remove(path);
  return file;
}

size_t pairCount(const std::string& file) {
  return countPairLines(file);
}

void report(benchmark::State& state, const Bed& b, size_t pairs) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * b.hosts));
  state.counters["hosts"] = static_cast<double>(b.hosts);
  state.counters["pairs"] = static_cast<double>(pairs);
}

void BM_Fast_2000(benchmark::State& state) {
  Bed& b = bed(20, static_cast<int>(state.range(0)));
  // Both searches must give the same pairs before either is timed.
  const std::string file = fastPairsFile(b);
  if (file.empty() || file != literalRun(b).file) {
    state.SkipWithError("fast and literal searches disagree");
    return;
  }
  for (auto _ : state) {
    if (fastRun(b, "/dev/null") != 0) state.SkipWithError("the pairing run failed");
  }
  report(state, b, pairCount(file));
}

void BM_Literal_2000(benchmark::State& state) {
  Bed& b = bed(20, static_cast<int>(state.range(0)));
  size_t pairs = 0;
  for (auto _ : state) pairs = pairCount(literalRun(b).file);
  report(state, b, pairs);
}

void BM_Fast_11664(benchmark::State& state) {
  Bed& b = bed(36);
  const std::string file = fastPairsFile(b);
  if (file.empty()) {
    state.SkipWithError("the pairing run failed");
    return;
  }
  for (auto _ : state) {
    if (fastRun(b, "/dev/null") != 0) state.SkipWithError("the pairing run failed");
  }
  report(state, b, pairCount(file));
}

// Argument: up links per leaf (0: as many as hosts, 10 here).
BENCHMARK(BM_Fast_2000)->Arg(0)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Literal_2000)->Arg(0)->Arg(5)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Fast_11664)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
