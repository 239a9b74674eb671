// Host ports named the ways pair lists name them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fabric/fabric.h"
#include "fabric/guid_index.h"

// Finds the port an endpoint text names, reading it in this order:
// 1. a port name as the pairs file writes it ("NODENAME/P<n>") when NODENAME
//    is a node: the text then names that port, even where a node's name is
//    the whole text (node names may end in "/P<n>"; that node is
//    "NODENAME/P<n>/P1");
// 2. a node name: its port 1;
// 3. a port GUID ("0x" and hex digits). Names come first, so a node named
//    "0x..." (a node without a description) is still found by name.
class EndpointIndex {
 public:
  explicit EndpointIndex(const IBFabric& fabric);

  // The named non-switch port, or null with *problem saying why.
  const IBPort* find(std::string_view text, std::string* problem) const;

 private:
  const IBFabric& fabric_;
  GuidMap<const IBPort*> byGuid_;  // non-switch ports
};

// Text from an input line for a message: quoted, and cut when long.
std::string quoted(std::string_view text);
