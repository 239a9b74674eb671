// The pairing run: sources from each group, a free destination in another
// group for each, and the pairs file.
#pragma once

#include "cli/options.h"
#include "fabric/fabric.h"
#include "grouping/port_groups.h"

// Resets the switch-port flow counters, maps LIDs to groups, writes the pairs
// file and prints the reports. Returns the process exit status: 0 for a
// complete run, 1 after printing the "-E-" line of a failure.
int runPairing(IBFabric& fabric, const PortGroups& groups, const RunOptions& options);
