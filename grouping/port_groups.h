// Host ports grouped by the first capture of a regular expression over node
// names.
#pragma once

#include <map>
#include <set>
#include <string>

#include "fabric/fabric.h"

// Group name -> its ports. Ports compare by address, which the fabric lays
// out in creation order (the order of the topology file).
using PortGroups = std::map<std::string, std::set<IBPort*>>;

// Fills groups with port 1 of every host whose name the extended POSIX
// expression matches, and prints the grouping report. Returns 0, or nonzero
// when the expression does not compile (after printing why).
int getPortGroups(IBFabric& fabric, const std::string& expression, PortGroups& groups);

// The same grouping without the report, for programs whose standard output
// is a report of their own; false when the expression does not compile.
bool fillPortGroups(IBFabric& fabric, const std::string& expression, PortGroups& groups);
