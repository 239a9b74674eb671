// Times each phase of a linkdeal run on real files: topology, grouping,
// forwarding tables, route check, search with the pairs file. Takes
// linkdeal's own options and runs linkdeal's own run sequence; the tool's
// console text is thrown away and one line of timings goes to standard error:
//   phases lst=S group=S tables=S check=S search=S total=S pairs=N
// With --literal as the first argument the search is the slow reference
// rendering instead of the tool's own, writing the same pairs file.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/options.h"
#include "fabric/fabric.h"
#include "grouping/port_groups.h"
#include "pairs/pairs_file.h"
#include "run/run.h"
#include "search/pairing.h"
#include "testing/reference_search.h"

namespace {

double now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The pair lines of a pairs file; -1 when it cannot be read.
int countPairs(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return -1;
  std::string text;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  std::fclose(f);
  return static_cast<int>(countPairLines(text));
}

int fail(const char* phase) {
  std::fprintf(stderr, "run_phases: %s failed\n", phase);
  return 1;
}

// The reference search in place of the tool's own, after the tool's own
// loading steps.
int runWithReferenceSearch(const RunOptions& options, const PhaseObserver& observer) {
  IBFabric fabric;
  PortGroups groups;
  if (loadFabric(options, fabric, groups, observer) != 0) return 1;
  reference::RunResult r = reference::runPairing(fabric, groups, pairingOptions(options));
  FILE* out = std::fopen(options.outFile.c_str(), "w");
  if (r.status != 0 || !out) return 1;
  std::fwrite(r.file.data(), 1, r.file.size(), out);
  if (std::fclose(out) != 0) return 1;
  observer(RunPhase::kPairing);
  return 0;
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

  // The time each phase ends, in the order of RunPhase.
  double ends[5] = {};
  const PhaseObserver observer = [&](RunPhase phase) { ends[static_cast<int>(phase)] = now(); };
  const double start = now();
  const int status =
      literalSearch ? runWithReferenceSearch(options, observer) : runLinkdeal(options, observer);
  if (status != 0) return fail(literalSearch ? "the run with the literal search" : "the run");

  auto end = [&](RunPhase phase) { return ends[static_cast<int>(phase)]; };
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::fprintf(
      stderr,
      "phases lst=%.3f group=%.3f tables=%.3f check=%.3f search=%.3f total=%.3f "
      "pairs=%d rss_mb=%.0f\n",
      end(RunPhase::kTopology) - start, end(RunPhase::kGrouping) - end(RunPhase::kTopology),
      end(RunPhase::kTables) - end(RunPhase::kGrouping),
      end(RunPhase::kRouteCheck) - end(RunPhase::kTables),
      end(RunPhase::kPairing) - end(RunPhase::kRouteCheck), end(RunPhase::kPairing) - start,
      countPairs(options.outFile), usage.ru_maxrss / 1024.0);
  return 0;
}
