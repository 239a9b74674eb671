// The fabric seen from a packet: a packet's next hop depends only on the
// switch it is in, the forwarding table its ingress port selects there, and
// the destination LID. Each (switch, table) pair is one state; this holds
// flat copies of what one hop from a state reads, so walks over many LIDs do
// a few array reads instead of chasing node, port and table pointers.
//
// Built from the fabric as it is: rebuild after changing links or tables.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fabric/fabric.h"

// The forwarding rule, which the states, the route walk and the route check
// all apply: a packet leaves a switch through the port its table names when
// that port exists and has a link. Port 0 is the switch itself, 255 no entry,
// and a port past the port count no port at all: dead ends, like a port
// without a link.
inline const IBPort* linkedPort(const IBNode& sw, unsigned port) {
  if (port == 0 || port == kLftNoEntry || port > sw.portCount) return nullptr;
  const IBPort* p = sw.getPort(port);
  return p && p->remote ? p : nullptr;
}

class ForwardingStates {
 public:
  static constexpr uint32_t kNoState = UINT32_MAX;
  // What hop() returns besides a next state: kHostBit with the index (in
  // IBFabric::ports()) of the host port the packet is delivered to, or
  // kDeadEnd (no entry, no such port, or no link).
  static constexpr uint32_t kHostBit = 0x80000000u;
  static constexpr uint32_t kDeadEnd = UINT32_MAX - 1;

  explicit ForwardingStates(const IBFabric& fabric);

  size_t size() const { return stateNode_.size(); }
  const IBNode& node(uint32_t state) const { return *stateNode_[state]; }
  uint8_t table(uint32_t state) const { return stateTable_[state]; }
  // The first state of a switch (table 0); kNoState for other nodes.
  uint32_t firstState(const IBNode& sw) const { return stateOfNode_[nodeIndex(sw)]; }
  // The state of a packet that has just entered a switch through port p.
  uint32_t stateFor(const IBPort& p) const {
    return stateOfNode_[nodeIndex(*p.owner)] + p.owner->tableForIngress(p.portNumber);
  }

  // The egress port a state gives lid; kLftNoEntry where the table has none.
  uint8_t egress(uint32_t state, uint16_t lid) const {
    const Hop& h = hops_[state];
    return lid < h.lftSize ? h.lft[lid] : kLftNoEntry;
  }
  // Where the packet is after leaving state through port: the next state,
  // kHostBit | host port index, or kDeadEnd.
  uint32_t lead(uint32_t state, uint8_t port) const {
    const Hop& h = hops_[state];
    if (port == 0 || port > h.portCount || port == kLftNoEntry) return kDeadEnd;
    return portLead_[h.portBase + port];
  }
  uint32_t hop(uint32_t state, uint16_t lid) const { return lead(state, egress(state, lid)); }
  // The port a state leaves through towards lid; null at a dead end.
  const IBPort* linkedEgress(uint32_t state, uint16_t lid) const {
    return linkedPort(node(state), egress(state, lid));
  }

 private:
  size_t nodeIndex(const IBNode& n) const { return static_cast<size_t>(&n - firstNode_); }

  struct Hop {
    const uint8_t* lft = nullptr;  // the state's forwarding table
    uint32_t lftSize = 0;
    uint32_t portBase = 0;  // the switch's first entry in portLead_
    uint8_t portCount = 0;
  };

  const IBNode* firstNode_;
  std::vector<uint32_t> stateOfNode_;  // by node index
  std::vector<const IBNode*> stateNode_;
  std::vector<uint8_t> stateTable_;
  std::vector<Hop> hops_;           // by state
  std::vector<uint32_t> portLead_;  // by switch, ports 0..portCount
};
