// Shared by the fuzz targets: a private scratch folder, the fuzz input written
// as a file there (the readers take file names), and a small generated fabric
// whose GUIDs the seed corpora share.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fabric/fabric.h"
#include "tools/fabricgen.h"

// The fabric every table-fuzzing target loads; fuzz/run.sh generates the seed
// corpora with the same shape (fabricgen --levels 2 --radix 8 --leaves 2
// --hosts-per-leaf 2 --private-tables).
inline GenOptions fuzzFabricShape() {
  GenOptions o;
  o.levels = 2;
  o.radix = 8;
  o.leaves = 2;
  o.hostsPerLeaf = 2;
  o.privateTables = true;
  return o;
}

// A folder of this process, made once, holding fabric.lst / fabric.fdbs /
// fabric.plft of the shape above. Aborts when it cannot be made: a fuzz run
// without its fixture would only test the error paths.
inline const std::string& fuzzDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/linkdeal-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    IBFabric fabric;
    std::string err;
    if (!generateFabric(fuzzFabricShape(), fabric, &err) ||
        !writeFabricFiles(fabric, pattern, 'A', &err)) {
      std::fprintf(stderr, "fuzz fixture: %s\n", err.c_str());
      abort();
    }
    return std::string(pattern);
  }();
  return dir;
}

// Writes data to dir/name, replacing what was there; returns the path.
inline std::string writeFuzzFile(const std::string& name, const uint8_t* data, size_t size) {
  std::string path = fuzzDir() + "/" + name;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) abort();
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) abort();
    data += n;
    size -= static_cast<size_t>(n);
  }
  close(fd);
  return path;
}
