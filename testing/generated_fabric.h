// Test helpers: fabrics built by fabricgen, in memory or written out as the
// dumps the programs read.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "fabric/fabric.h"
#include "testing/test_files.h"
#include "tools/fabricgen.h"

// The fabric fabricgen builds from options. Options it refuses fail the test
// and leave the fabric empty or partly built.
inline IBFabric generatedFabric(const GenOptions& options, GenSummary* summary = nullptr) {
  IBFabric fabric;
  std::string err;
  EXPECT_TRUE(generateFabric(options, fabric, &err, summary)) << err;
  return fabric;
}

// Writes fabric's dumps (fabric.lst, fabric.fdbs in layout 'A', and
// fabric.plft where some switch has an ingress map) to a fresh test folder
// named after the running test and tag; returns the folder.
inline std::string writeFabricToTestDir(const IBFabric& fabric, std::string_view tag = "fabric") {
  const std::string dir = makeTestDir(tag);
  std::string err;
  EXPECT_TRUE(writeFabricFiles(fabric, dir, 'A', &err)) << err;
  return dir;
}

// The fabric generated from options, written out as above; returns the folder.
inline std::string writeGeneratedFabric(const GenOptions& options,
                                        std::string_view tag = "fabric") {
  return writeFabricToTestDir(generatedFabric(options), tag);
}
