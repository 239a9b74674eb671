// Test fixture shared by the table readers' tests: a small topology loaded
// first, so that FDB and PLFT dumps have switches to fill.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fabric/dumps/readers.h"
#include "fabric/fabric.h"
#include "testing/test_files.h"

// sw1 (36 ports, GUID 0xa1, LID 1) = sw2 (8 ports, GUID 0xa2, LID 2); host h1
// (GUID 0xb1, LID 0x10) on sw1 port 1.
inline constexpr char kTopology[] =
    "{ CA Ports:01 SystemGUID:b1 NodeGUID:b1 PortGUID:b2 VenID:0 DevID:0 Rev:0 {h1} LID:0010 PN:01 "
    "} "
    "{ SW Ports:24 SystemGUID:a1 NodeGUID:a1 PortGUID:a1 VenID:0 DevID:0 Rev:0 {sw1} LID:0001 "
    "PN:01 }\n"
    "{ SW Ports:24 SystemGUID:a1 NodeGUID:a1 PortGUID:a1 VenID:0 DevID:0 Rev:0 {sw1} LID:0001 "
    "PN:02 } "
    "{ SW Ports:08 SystemGUID:a2 NodeGUID:a2 PortGUID:a2 VenID:0 DevID:0 Rev:0 {sw2} LID:0002 "
    "PN:02 }\n";

// The fabric under test and what the reader under test said of its dump.
struct Loaded {
  IBFabric fabric;
  bool ok = false;
  std::string err;
  IBNode* sw1 = nullptr;
  IBNode* sw2 = nullptr;
};

// Reads kTopology into l->fabric; false, with the test failed, when it does
// not load.
inline bool loadTopology(Loaded* l) {
  std::string err;
  bool ok = readLstFile(l->fabric, writeTestFile("fabric.lst", kTopology), &err);
  EXPECT_TRUE(ok) << err;
  l->sw1 = l->fabric.getNode("sw1");
  l->sw2 = l->fabric.getNode("sw2");
  return ok;
}
