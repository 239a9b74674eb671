// One planned pair's route as the directed links it crosses, walked over the
// forwarding states.
#pragma once

#include <cstdint>
#include <vector>

#include "fabric/fabric.h"
#include "fabric/routing/forwarding_states.h"

class PairPathWalker {
 public:
  explicit PairPathWalker(const IBFabric& fabric);

  size_t indexOf(const IBPort* p) const { return static_cast<size_t>(p - firstPort_); }

  // Fills path with the indexes (into IBFabric::ports()) of the ports the
  // route's directed links leave from: the source's own port first, then
  // the switch egress ports. False when the route is broken (a loop too),
  // ends anywhere but at dst, or (with load given) crosses a port whose load is
  // at limit already.
  bool walk(const IBPort& src, const IBPort& dst, uint16_t lid, std::vector<uint32_t>& path,
            const std::vector<uint32_t>* load = nullptr, uint32_t limit = 0);

 private:
  ForwardingStates states_;
  const IBPort* firstPort_;
  std::vector<uint32_t> seen_;
  uint32_t now_ = 0;
};
