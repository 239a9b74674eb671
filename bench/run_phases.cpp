// Times each phase of a linkdeal run on real files: topology, grouping,
// forwarding tables, route check, search with the pairs file. Takes
// linkdeal's own options; the tool's console text is thrown away and one line
// of timings goes to standard error:
//   phases lst=S group=S tables=S check=S search=S total=S pairs=N
// With --literal as the first argument the search is the slow reference
// rendering instead of the tool's own, writing the same pairs file.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/options.h"
#include "fabric/fabric.h"
#include "grouping/port_groups.h"
#include "run/run.h"
#include "search/pairing.h"
#include "search/reference_search.h"

namespace {

double now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int countPairs(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return -1;
  int lines = 0;
  for (int c; (c = std::fgetc(f)) != EOF;) lines += c == '\n';
  std::fclose(f);
  return lines - 5;  // the header
}

int fail(const char* phase) {
  std::fprintf(stderr, "run_phases: %s failed\n", phase);
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  bool literalSearch = argc > 1 && std::strcmp(argv[1], "--literal") == 0;
  if (literalSearch) {
    argv[1] = argv[0];
    --argc;
    ++argv;
  }
  if (!std::freopen("/dev/null", "w", stdout)) return fail("silencing standard output");

  CommandLine commandLine = parseCommandLine(argc, argv);
  if (!commandLine.run) return fail("the command line");
  const RunOptions& options = commandLine.options;

  double t0 = now();
  IBFabric fabric;
  if (fabric.parseSubnetLinks(options.lstFile, nullptr) != 0) return fail("topology");
  double t1 = now();
  PortGroups groups;
  if (getPortGroups(fabric, options.groupRegex, groups) != 0) return fail("grouping");
  double t2 = now();
  if (!options.plftFile.empty() && fabric.parsePLFTFile(options.plftFile) != 0)
    return fail("private tables");
  if (fabric.parseFdbFile(options.fdbsFile) != 0) return fail("forwarding tables");
  double t3 = now();
  if (!options.trustFdbs && SubnMgtVerifyAllCaToCaRoutes(fabric, nullptr) != 0)
    return fail("route check");
  double t4 = now();
  if (literalSearch) {
    reference::RunResult r = reference::runPairing(fabric, groups, pairingOptions(options));
    FILE* out = std::fopen(options.outFile.c_str(), "w");
    if (r.status != 0 || !out) return fail("literal search");
    std::fwrite(r.file.data(), 1, r.file.size(), out);
    if (std::fclose(out) != 0) return fail("writing pairs");
  } else if (runPairing(fabric, groups, pairingOptions(options)) != 0) {
    return fail("search");
  }
  double t5 = now();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::fprintf(stderr,
               "phases lst=%.3f group=%.3f tables=%.3f check=%.3f search=%.3f total=%.3f "
               "pairs=%d rss_mb=%.0f\n",
               t1 - t0, t2 - t1, t3 - t2, t4 - t3, t5 - t4, t5 - t0, countPairs(options.outFile),
               usage.ru_maxrss / 1024.0);
  return 0;
}
