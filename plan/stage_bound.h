// A tighter lower bound on the stages of any complete plan, from the group
// rule and from cuts. In one stage a host sends once and receives once, and
// a directed link carries at most N pairs. Take a group's hosts behind a set
// of switches: each of its senders sends either to a host of another group
// behind the same switches (each receives once per stage) or out through one
// of the links that leave the set (N pairs each). So the stages are at least
// the senders over (those receivers + N x those links), whatever the routes;
// receivers likewise. A dragonfly group's 16 hosts, of one group, leaving
// through 8 global links need 2 stages at N = 1.
#pragma once

#include <cstdint>

#include "fabric/fabric.h"
#include "grouping/port_groups.h"
#include "plan/planner.h"

// Raises c.lowerBound (and its reason) to the best such bound found: for
// every group, the whole fabric and a set of switches grown from the
// group's own by adding neighbours while the bound rises.
void tightenLowerBound(const IBFabric& fabric, const PortGroups& groups, uint32_t maxFlows,
                       Coverable& c);
