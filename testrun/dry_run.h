// The whole run as a shell script to read or to run by hand: one section per
// stage, with the host scripts the launchers get.
#pragma once

#include <string>
#include <vector>

#include "testrun/stage_runner.h"

// The script for the stages' pairs (commands prepared), with logs going to
// settings.logsDir as a run would write them.
std::string dryRunScript(const RunSettings& settings, const std::vector<StageRun>& stages);
