#include <cstdio>

#include "cli/outputs.h"
#include "plan/plan_options.h"
#include "plan/run_plan.h"
#include "run/run.h"

int main(int argc, char* argv[]) {
  // A closed standard descriptor must not become the pairs file.
  if (!keepStandardDescriptors()) {
    std::fprintf(stderr, "-E- cannot open /dev/null\n");
    return 1;
  }

  // Read and echo the options; --help, --version and rejected command lines end here.
  PlanCommandLine commandLine = parsePlanCommandLine(argc, argv);
  if (!commandLine.run) return checkStandardOutput(commandLine.status);

  // Load, check, plan and write; a report that could not be written fails.
  return checkStandardOutput(runPlan(commandLine.options));
}
