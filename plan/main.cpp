#include "plan/plan_options.h"
#include "plan/run_plan.h"

int main(int argc, char* argv[]) {
  // Read and echo the options; --help, --version and rejected command lines end here.
  PlanCommandLine commandLine = parsePlanCommandLine(argc, argv);
  if (!commandLine.run) return commandLine.status;

  // Load, check, plan and write.
  return runPlan(commandLine.options);
}
