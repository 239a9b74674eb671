// The run sequence of linkdeal once the command line is accepted.
#pragma once

#include <functional>

#include "cli/options.h"
#include "fabric/fabric.h"
#include "grouping/port_groups.h"
#include "search/pairing.h"

// The steps of a run, in the order they end.
enum class RunPhase {
  kTopology,    // the topology file read
  kGrouping,    // the hosts grouped
  kTables,      // the private table maps (when given) and the forwarding tables read
  kRouteCheck,  // the routes checked, or the check skipped
  kPairing,     // the pairs file written
};

// Told of each step of a run as it ends well, so that a caller can time the
// steps; an empty one is never called.
using PhaseObserver = std::function<void(RunPhase)>;

// Loads the fabric files into an empty fabric, groups the hosts and checks
// the routes (unless told to trust the forwarding tables), printing what
// linkdeal prints on the way. Returns 0, or 1 after printing the "-E-" line.
int loadFabric(const RunOptions& options, IBFabric& fabric, PortGroups& groups,
               const PhaseObserver& observer = {});

// The pairing run's share of the options; trace follows -v.
PairingOptions pairingOptions(const RunOptions& options);

// Loads the fabric files, groups the hosts, checks the routes (unless told to
// trust the forwarding tables) and runs the pairing. Every failure prints one
// "-E-" line; returns the process exit status.
int runLinkdeal(const RunOptions& options, const PhaseObserver& observer = {});

// When the pairs file named by -o is one of the run's input files (the same
// file by device and inode, so also through a link), prints "-E- cant
// write:FILE" and why on standard error, and returns 1; otherwise 0.
int refuseOutputOverInput(const RunOptions& options);

// Flushes standard output and turns a failed write to it at any time of the
// run into status 1, with the error on standard error; otherwise returns
// status.
int checkStandardOutput(int status);
