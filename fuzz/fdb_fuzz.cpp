// Fuzzes the forwarding-table reader on a fixed fabric with private maps, then
// runs the route check over whatever tables it accepted.
#include "fuzz/fuzz_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzzDir();
  std::string path = writeFuzzFile("input.fdbs", data, size);
  IBFabric fabric;
  std::string err;
  if (!readLstFile(fabric, dir + "/fabric.lst", &err)) abort();
  if (!readPlftFile(fabric, dir + "/fabric.plft", &err)) abort();
  if (!readFdbFile(fabric, path, &err)) return 0;
  SubnMgtVerifyAllCaToCaRoutes(fabric, nullptr);
  return 0;
}
