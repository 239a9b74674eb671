// Where each end of a pair runs: the host to launch on, the HCA device and
// its port, taken from the node description or from a map file.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "fabric/fabric.h"
#include "pairs/endpoints.h"

struct PairEnd {
  const IBPort* port = nullptr;
  std::string host;     // empty when none is usable: problem says why
  std::string device;   // empty: the test program takes the first device
  unsigned ibPort = 1;  // the HCA port (the /P<n> of the name)
  std::string problem;
};

// A map file line: ENDPOINT HOST [DEVICE [PORT]].
struct HostMapEntry {
  std::string host;
  std::string device;
  unsigned ibPort = 0;  // 0: the port of the endpoint's name
};

// Entries for a node name hold for all its ports; entries for a port name or
// port GUID for that port only, and win over the node's.
struct HostMap {
  std::unordered_map<const IBNode*, HostMapEntry> byNode;
  std::unordered_map<const IBPort*, HostMapEntry> byPort;
};

// Reads a map file of "ENDPOINT HOST [DEVICE [PORT]]" lines ('#' comments).
// False with *err "FILE:LINE: problem".
bool readHostMap(const std::string& fileName, const EndpointIndex& endpoints, HostMap* map,
                 std::string* err);

// The end for port: from the map when it names the port or its node, else
// from the node description as rdma-ndd writes it ("%h %d": host, then
// device when the second word looks like one), with defaultDevice for
// descriptions such as "node01 HCA-1".
PairEnd resolvePairEnd(const IBPort* port, const HostMap& map, const std::string& defaultDevice);

// mlx5_0, mlx4_1, ibp65s0, qib0, hfi1_0: lower-case letters first, then
// letters, digits and '_', ending in a digit.
bool looksLikeDevice(std::string_view word);

// A host or device name safe to hand to a launcher as one argument: letters,
// digits, '.', '_', '-' and ':', not starting with '-' (no option).
bool usableName(std::string_view word);
