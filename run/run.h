// The run sequence of linkdeal once the command line is accepted.
#pragma once

#include "cli/options.h"

// Loads the fabric files, groups the hosts, checks the routes (unless told to
// trust the forwarding tables) and runs the pairing. Every failure prints one
// "-E-" line; returns the process exit status.
int runLinkdeal(const RunOptions& options);
