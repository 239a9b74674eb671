// Fuzzes the topology reader; a topology it accepts must be whole.
#include <cstdlib>

#include "fabric/dumps/readers.h"
#include "fuzz/fuzz_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = writeFuzzFile("input.lst", data, size);
  IBFabric fabric;
  std::string err;
  if (!readLstFile(fabric, path, &err)) return 0;
  // Links go both ways and stay inside the fabric.
  for (const IBPort& port : fabric.ports()) {
    if (port.remote && port.remote->remote != &port) abort();
    if (!port.owner || port.owner->getPort(port.portNumber) != &port) abort();
  }
  if (fabric.nodeMap.size() != fabric.nodes().size()) abort();
  return 0;
}
