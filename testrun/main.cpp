// linkdeal-run: runs a plan's stages with ib_write_bw on the hosts and writes
// what the pairs measured.
#include <cstdio>
#include <string>

#include "cli/outputs.h"
#include "testrun/options.h"
#include "testrun/test_run.h"

namespace {

// The status, unless what went to standard output was not all written.
int finish(int status) {
  std::string why;
  if (flushStandardOutput(&why)) return status;
  std::fprintf(stderr, "linkdeal-run: cannot write standard output%s%s\n", why.empty() ? "" : ": ",
               why.c_str());
  return kRunCannot;
}

}  // namespace

int main(int argc, char* argv[]) {
  // A closed standard descriptor must not become a log or the results.
  if (!keepStandardDescriptors()) {
    std::fprintf(stderr, "linkdeal-run: cannot open /dev/null\n");
    return kRunCannot;
  }
  // Read the options; --help, --version and rejected command lines end here.
  TestRunCommandLine cl = parseTestRunCommandLine(argc, argv);
  if (!cl.run) return finish(cl.status);
  // Place, probe, run and write.
  return finish(runTests(cl.options));
}
