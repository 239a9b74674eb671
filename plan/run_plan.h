// The run of linkdeal-plan once the command line is accepted.
#pragma once

#include <cstdio>
#include <string>

#include "plan/plan_options.h"
#include "plan/planner.h"

// Loads and checks the fabric as linkdeal does, plans the stages, writes the
// pairs file and prints the reports. Returns the process exit status.
int runPlan(const PlanOptions& options);

// Writes the pairs file: linkdeal's header, then STAGE k and its pairs for
// every stage ("SRC DST", with " 0x<lid>" when withLid). Returns false when
// the file could not be written completely.
bool writePlanFile(const std::string& fileName, const Plan& plan, bool withLid);
