#include "fabric/routing/forwarding_states.h"

#include <algorithm>

ForwardingStates::ForwardingStates(const IBFabric& fabric) : firstNode_(fabric.nodes().data()) {
  std::span<const IBNode> nodes = fabric.nodes();
  stateOfNode_.assign(nodes.size(), kNoState);
  std::vector<uint32_t> portBaseOfNode(nodes.size(), 0);
  size_t ports = 0;
  for (const IBNode& node : nodes) {
    if (!node.isSwitch()) continue;
    unsigned tables = 1;
    for (uint8_t t : node.ingressTable) tables = std::max(tables, unsigned{t} + 1);
    stateOfNode_[nodeIndex(node)] = static_cast<uint32_t>(stateNode_.size());
    portBaseOfNode[nodeIndex(node)] = static_cast<uint32_t>(ports);
    ports += node.portCount + size_t{1};
    for (unsigned t = 0; t < tables; ++t) {
      stateNode_.push_back(&node);
      stateTable_.push_back(static_cast<uint8_t>(t));
    }
  }
  const IBPort* firstPort = fabric.ports().data();
  portLead_.reserve(ports);
  for (const IBNode& node : nodes) {
    if (!node.isSwitch()) continue;
    for (unsigned n = 0; n <= node.portCount; ++n) {
      const IBPort* p = linkedPort(node, n);
      uint32_t to = kDeadEnd;
      if (p) {
        const IBPort& far = *p->remote;
        to = far.owner->isSwitch() ? stateFor(far)
                                   : kHostBit | static_cast<uint32_t>(&far - firstPort);
      }
      portLead_.push_back(to);
    }
  }
  hops_.resize(stateNode_.size());
  for (size_t s = 0; s < stateNode_.size(); ++s) {
    const IBNode& sw = *stateNode_[s];
    std::span<const uint8_t> lft = sw.lft(stateTable_[s]);
    hops_[s] = {lft.data(), static_cast<uint32_t>(lft.size()), portBaseOfNode[nodeIndex(sw)],
                sw.portCount};
  }
}
