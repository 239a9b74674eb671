// Reading speed of the topology readers, per byte, on the same fabric in each
// topology form: fabricgen's 3-level tree of 36-port switches (11,664 hosts,
// 1,620 switches), written once into /tmp and reused by later runs.
//
// Run: topology_reader_bench   (MB/s in the bytes_per_second column, and the
// counters of ReadTopologyInTurn)
// Timed: readLstFile into a new fabric, up to its return; not the freeing.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "fabric/dumps/readers.h"
#include "fabric/dumps/writers.h"
#include "fabric/fabric.h"
#include "tools/fabricgen.h"

namespace {

const std::string kDir = "/tmp/linkdeal-topology-bench";

struct Form {
  const char* file;
  TopologyForm form;
};
const Form kForms[] = {
    {"/fabric.lst", TopologyForm::kLst},
    {"/fabric.ibnetdiscover", TopologyForm::kPlain},
    {"/fabric.ibnetdiscover-p", TopologyForm::kPorts},
};

off_t fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// The three files, written on first use (to temporary names renamed at the
// end, so an interrupted run leaves nothing that looks complete).
bool makeFiles(std::string* err) {
  bool missing = false;
  for (const Form& f : kForms) missing |= fileSize(kDir + f.file) <= 0;
  if (!missing) return true;
  ::mkdir(kDir.c_str(), 0777);
  GenOptions o;
  o.levels = 3;
  o.radix = 36;
  IBFabric fabric;
  if (!generateFabric(o, fabric, err)) return false;
  for (const Form& f : kForms) {
    std::string path = kDir + f.file;
    if (!writeTopologyFile(fabric, path + ".part", f.form, err)) return false;
    if (std::rename((path + ".part").c_str(), path.c_str()) != 0) {
      *err = path + ": cannot rename";
      return false;
    }
  }
  return true;
}

// Reads path into a new fabric and frees it with the timing paused: freeing
// the model is no part of reading it (a run keeps it to its end). Adds the
// reading's wall-clock seconds to *seconds when given.
bool readOnce(benchmark::State& state, const std::string& path, std::string* err,
              double* seconds = nullptr) {
  auto start = std::chrono::steady_clock::now();
  auto fabric = std::make_unique<IBFabric>();
  if (!readLstFile(*fabric, path, err)) {
    state.SkipWithError(err->c_str());
    return false;
  }
  benchmark::DoNotOptimize(fabric->ports().data());
  if (seconds)
    *seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.PauseTiming();
  fabric.reset();
  state.ResumeTiming();
  return true;
}

void ReadTopology(benchmark::State& state) {
  std::string err;
  if (!makeFiles(&err)) {
    state.SkipWithError(err.c_str());
    return;
  }
  std::string path = kDir + kForms[state.range(0)].file;
  for (auto _ : state)
    if (!readOnce(state, path, &err)) return;
  state.SetBytesProcessed(int64_t(state.iterations()) * fileSize(path));
  state.SetLabel(kForms[state.range(0)].file + 1);
}
BENCHMARK(ReadTopology)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// The three forms read in turn in every iteration, so that their per-byte
// speeds are compared over the same stretch of time: on a shared machine
// that slows down now and then, three separate runs compare badly. Counters:
// MB/s of each form, and plain_vs_lst / ports_vs_lst, each form's MB/s over
// the LST's (1 or more: no slower per byte).
void ReadTopologyInTurn(benchmark::State& state) {
  std::string err;
  if (!makeFiles(&err)) {
    state.SkipWithError(err.c_str());
    return;
  }
  double seconds[3] = {};
  for (auto _ : state)
    for (size_t f = 0; f < 3; ++f)
      if (!readOnce(state, kDir + kForms[f].file, &err, &seconds[f])) return;
  double rate[3];
  for (size_t f = 0; f < 3; ++f)
    rate[f] = static_cast<double>(state.iterations()) * fileSize(kDir + kForms[f].file) /
              seconds[f] / 1e6;
  state.counters["lst_MBps"] = rate[0];
  state.counters["plain_MBps"] = rate[1];
  state.counters["ports_MBps"] = rate[2];
  state.counters["plain_vs_lst"] = rate[1] / rate[0];
  state.counters["ports_vs_lst"] = rate[2] / rate[0];
}
BENCHMARK(ReadTopologyInTurn)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Every read allocates and frees the same large arrays. Whether glibc
  // hands them back to the kernel, to be faulted in again by the next read,
  // depends on where the address layout puts the heap: one run could read
  // a form at a third of the speed of the next. Freed memory stays in the
  // process, so that every run times the reading alone.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
