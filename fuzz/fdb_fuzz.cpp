// Fuzzes the forwarding-table reader on a fixed fabric with private maps, then
// runs the route check over whatever tables it accepted. The input is read a
// second time cut into pieces of a few dozen bytes on three threads, which
// must give the same tables, error and warnings.
#include "fabric/dumps/readers.h"
#include "fabric/routing/route_check.h"
#include "fuzz/fuzz_files.h"

namespace {

struct Read {
  IBFabric fabric;
  bool ok = false;
  std::string err;
  std::vector<std::string> warnings;
};

void load(Read& r, const std::string& path, const FdbReadOptions& options) {
  const std::string& dir = fuzzDir();
  std::string err;
  if (!readLstFile(r.fabric, dir + "/fabric.lst", &err)) abort();
  if (!readPlftFile(r.fabric, dir + "/fabric.plft", &err)) abort();
  r.ok = readFdbFile(r.fabric, path, &r.err, &r.warnings, options);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = writeFuzzFile("input.fdbs", data, size);
  Read one, pieces;
  load(one, path, {1, 0, nullptr});
  load(pieces, path, {3, 32, nullptr});
  if (one.ok != pieces.ok || one.err != pieces.err || one.warnings != pieces.warnings) abort();
  for (size_t n = 0; n < one.fabric.nodes().size(); ++n) {
    if (one.fabric.nodes()[n].lfts != pieces.fabric.nodes()[n].lfts ||
        one.fabric.nodes()[n].filledTables != pieces.fabric.nodes()[n].filledTables)
      abort();
  }
  if (one.ok) SubnMgtVerifyAllCaToCaRoutes(one.fabric, nullptr);
  return 0;
}
