#include "grouping/leaf_groups.h"

#include <cstdint>
#include <cstdio>

uint32_t fillLeafGroups(IBFabric& fabric, PortGroups& groups) {
  uint32_t skipped = 0;
  for (const auto& [name, node] : fabric.nodeMap) {
    if (node->isSwitch()) continue;
    IBPort* p = node->getPort(1);
    if (!p) continue;
    if (!p->remote || !p->remote->owner->isSwitch()) {
      ++skipped;
      continue;
    }
    groups[p->remote->owner->nodeName].insert(p);
  }
  return skipped;
}

void getLeafGroups(IBFabric& fabric, PortGroups& groups) {
  std::printf("-I- grouping nodes by the switch they are cabled to\n");
  const uint32_t skipped = fillLeafGroups(fabric, groups);
  uint32_t grouped = 0;
  for (const auto& [group, ports] : groups) grouped += static_cast<uint32_t>(ports.size());
  for (const auto& [group, ports] : groups)
    std::printf("-I- group: %s has: %zu ports\n", group.c_str(), ports.size());
  std::printf("-I- Total of %u nodes (skipped %u)\n", static_cast<unsigned>(grouped),
              static_cast<unsigned>(skipped));
  std::fflush(stdout);
}
