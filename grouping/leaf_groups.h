// Host ports grouped by the switch they are cabled to: what operators
// usually mean by a group, with no expression over names needed.
#pragma once

#include "fabric/fabric.h"
#include "grouping/port_groups.h"

// Fills groups with port 1 of every host, in the group named after the
// switch at the other end of its link, and prints the grouping report. Hosts
// whose port 1 is not cabled to a switch are counted as skipped.
void getLeafGroups(IBFabric& fabric, PortGroups& groups);

// The same grouping without the report, for programs whose standard output
// is a report of their own; returns the hosts skipped.
uint32_t fillLeafGroups(IBFabric& fabric, PortGroups& groups);
