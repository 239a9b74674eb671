#include "cli/options.h"
#include "run/run.h"

int main(int argc, char* argv[]) {
  // Read and echo the options; -h, -V and rejected command lines end here.
  CommandLine commandLine = parseCommandLine(argc, argv);
  if (!commandLine.run) return checkStandardOutput(commandLine.status);

  // Load, group, check and pair; a console that could not be written fails.
  return checkStandardOutput(runLinkdeal(commandLine.options));
}
