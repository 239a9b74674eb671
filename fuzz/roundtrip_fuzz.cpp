// Fuzzes the topology readers against the writers: a topology read in any
// form, written in each form and read back, must come back as it was written.
// The forms keep different things (the ports report makes each host port a
// node of its own), so each form's first trip may change the fabric; a second
// trip through the same form must change nothing, and the LST keeps all that
// any reader builds.
#include <cstdio>
#include <cstdlib>

#include "fabric/dumps/readers.h"
#include "fabric/dumps/writers.h"
#include "fuzz/fuzz_files.h"
#include "testing/topology_forms.h"

namespace {

// The fabric written in form and read back; false where the writer refuses
// it (a description the form cannot carry). Any other failure aborts.
bool roundTrip(const IBFabric& in, TopologyForm form, IBFabric* out) {
  std::string path = fuzzDir() + "/roundtrip";
  std::string err;
  if (!writeTopologyFile(in, path, form, &err)) return false;
  if (!readLstFile(*out, path, &err)) {
    std::fprintf(stderr, "written topology refused: %s\n", err.c_str());
    abort();
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = writeFuzzFile("input.topology", data, size);
  IBFabric fabric;
  std::string err;
  if (!readLstFile(fabric, path, &err)) return 0;
  const std::string read = topologyText(fabric);
  for (TopologyForm form : {TopologyForm::kLst, TopologyForm::kPlain, TopologyForm::kPorts}) {
    IBFabric once, twice;
    if (!roundTrip(fabric, form, &once)) continue;
    if (form == TopologyForm::kLst && topologyText(once) != read) abort();
    if (!roundTrip(once, form, &twice) || topologyText(twice) != topologyText(once)) abort();
  }
  return 0;
}
