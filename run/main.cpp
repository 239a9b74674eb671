#include <cstdio>

#include "cli/options.h"
#include "cli/outputs.h"
#include "run/run.h"

int main(int argc, char* argv[]) {
  // A closed standard descriptor must not become the pairs file.
  if (!keepStandardDescriptors()) {
    std::fprintf(stderr, "-E- cannot open /dev/null\n");
    return 1;
  }

  // Read and echo the options; -h, -V and rejected command lines end here.
  CommandLine commandLine = parseCommandLine(argc, argv);
  if (!commandLine.run) return checkStandardOutput(commandLine.status);

  // Load, group, check and pair; a console that could not be written fails.
  return checkStandardOutput(runLinkdeal(commandLine.options));
}
