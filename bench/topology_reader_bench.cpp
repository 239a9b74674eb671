// Reading speed of the topology readers, per byte, on the same fabric in each
// topology form: fabricgen's 3-level tree of 36-port switches (11,664 hosts,
// 1,620 switches), written once into /tmp and reused by later runs.
//
// Run: topology_reader_bench   (MB/s in the bytes_per_second column)

#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "fabric/fabric.h"
#include "fabric/writers.h"
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

void ReadTopology(benchmark::State& state) {
  std::string err;
  if (!makeFiles(&err)) {
    state.SkipWithError(err.c_str());
    return;
  }
  std::string path = kDir + kForms[state.range(0)].file;
  for (auto _ : state) {
    IBFabric fabric;
    if (!readLstFile(fabric, path, &err)) {
      state.SkipWithError(err.c_str());
      return;
    }
    benchmark::DoNotOptimize(fabric.ports().data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * fileSize(path));
  state.SetLabel(kForms[state.range(0)].file + 1);
}
BENCHMARK(ReadTopology)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
