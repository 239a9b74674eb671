// The run sequence of linkdeal once the command line is accepted.
#pragma once

#include "cli/options.h"
#include "fabric/fabric.h"
#include "grouping/port_groups.h"

// Loads the fabric files into an empty fabric, groups the hosts and checks
// the routes (unless told to trust the forwarding tables), printing what
// linkdeal prints on the way. Returns 0, or 1 after printing the "-E-" line.
int loadFabric(const RunOptions& options, IBFabric& fabric, PortGroups& groups);

// Loads the fabric files, groups the hosts, checks the routes (unless told to
// trust the forwarding tables) and runs the pairing. Every failure prints one
// "-E-" line; returns the process exit status.
int runLinkdeal(const RunOptions& options);
