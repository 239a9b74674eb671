// Host ports named the ways pair lists name them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fabric/fabric.h"

// Finds the port an endpoint text names: a port name as the pairs file writes
// it ("NODENAME/P<n>"), a node name (its port 1), or a port GUID ("0x" and
// hex digits). Names are tried first, so a node named "0x..." (a node without
// a description) is still found by name.
class EndpointIndex {
 public:
  explicit EndpointIndex(const IBFabric& fabric);

  // The named non-switch port, or null with *problem saying why.
  const IBPort* find(std::string_view text, std::string* problem) const;

 private:
  const IBFabric& fabric_;
  std::unordered_map<uint64_t, const IBPort*> byGuid_;  // non-switch ports
};

// Text from an input line for a message: quoted, and cut when long.
std::string quoted(std::string_view text);
