// Test helper: a fabric's topology as text that does not depend on creation
// order, so that the same fabric read from different forms compares equal.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "fabric/fabric.h"

// Hosts are keyed by the GUID of their first cabled port, as the ports report
// knows them; switches by NodeGUID.
inline uint64_t topologyKey(const IBNode& n) {
  if (n.isSwitch()) return n.nodeGuid;
  for (const IBPort* p : n.portTable)
    if (p && p->remote) return p->guid;
  return n.nodeGuid;
}

// One line per node and per cabled port, sorted: names, types, port counts,
// LIDs, port GUIDs, links, widths and speeds.
inline std::string topologyText(const IBFabric& f) {
  std::vector<std::string> lines;
  for (const IBNode& n : f.nodes()) {
    lines.push_back(guidText(topologyKey(n)) + " " + n.nodeName + " type " +
                    std::to_string(n.nodeType) + " ports " + std::to_string(n.portCount) + " lid " +
                    std::to_string(n.lid));
    for (const IBPort* p : n.portTable) {
      if (!p || !p->remote) continue;
      lines.push_back(guidText(topologyKey(n)) + " P" + std::to_string(p->portNumber) + " guid " +
                      guidText(p->guid) + " lid " + std::to_string(p->baseLid) + " -> " +
                      p->remote->getName() + " " + std::to_string(p->width) + "x" +
                      std::to_string(p->speed));
    }
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}
