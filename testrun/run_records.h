// What a run leaves: the results file linkdeal-check --results reads, and one
// JSON record per pair.
#pragma once

#include <string>
#include <vector>

#include "testrun/stage_runner.h"

// "STAGE k" and "SRC DST GBPS" lines; a pair without a measurement is a
// "# failed SRC DST: reason" comment, which the check skips, so that it
// counts as not measured rather than as 0.
std::string resultsText(const std::vector<StageRun>& stages);

// One JSON object per pair and line: stage, both ends (endpoint, host,
// device, port, TCP port), commands, exit status, timed out, Gb/s of client
// and server, start and end, logs, and the reason of a failure.
std::string jsonLines(const std::vector<StageRun>& stages);
