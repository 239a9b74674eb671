// Fuzzes the private-table reader on a fixed fabric.
#include "fabric/dumps/readers.h"
#include "fuzz/fuzz_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzzDir();
  std::string path = writeFuzzFile("input.plft", data, size);
  IBFabric fabric;
  std::string err;
  if (!readLstFile(fabric, dir + "/fabric.lst", &err)) abort();
  if (!readPlftFile(fabric, path, &err)) return 0;
  for (const IBNode& node : fabric.nodes())
    for (uint8_t table : node.ingressTable)
      if (table >= kMaxLftTables) abort();
  return 0;
}
