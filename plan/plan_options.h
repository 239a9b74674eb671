// The command line of linkdeal-plan.
#pragma once

#include <cstdint>
#include <string>

#include "cli/options.h"

struct PlanOptions {
  RunOptions run;          // the fabric and pairing options, as linkdeal reads them
  uint32_t maxStages = 0;  // --stages K; 0: auto, until coverage is complete
  bool anyLid = false;
  bool localize =
      true;  // --localize (default): stages that tell links apart; --coverage: coverage only
};

// What the command line decided: plan with options, or end the process with
// status (after --help, --version, or a rejected command line whose messages
// are already printed).
struct PlanCommandLine {
  PlanOptions options;
  bool run = false;
  int status = 0;
};

// Reads the options with getopt_long, echoing each accepted one on standard
// output, and checks the required inputs. getopt_long may reorder argv.
PlanCommandLine parsePlanCommandLine(int argc, char* argv[]);

void showPlanHelp();
