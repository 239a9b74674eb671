// linkdeal-check: pair lists checked on the fabric's real paths, degraded
// links, and suspects from measured bandwidths.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "check/degraded.h"
#include "check/endpoints.h"
#include "check/options.h"
#include "check/pairs_reader.h"
#include "check/report.h"
#include "check/results_reader.h"
#include "check/stage_check.h"
#include "check/link_ranking.h"
#include "fabric/fabric.h"

namespace {

int cannotRun(const std::string& message) {
  std::fprintf(stderr, "linkdeal-check: %s\n", message.c_str());
  std::fflush(stderr);
  return kCheckUsage;
}

}  // namespace

int main(int argc, char* argv[]) {
  CheckCommandLine cl = parseCheckCommandLine(argc, argv);
  if (!cl.run) return cl.status;
  const CheckOptions& o = cl.options;

  // The fabric, read as linkdeal reads it; the readers print FILE:LINE errors.
  IBFabric fabric;
  if (fabric.parseSubnetLinks(o.lstFile, nullptr) != 0)
    return cannotRun("cannot load the topology " + o.lstFile);
  if (!o.plftFile.empty() && fabric.parsePLFTFile(o.plftFile) != 0)
    return cannotRun("cannot load the private forwarding-table map " + o.plftFile);
  if (!o.fdbsFile.empty() && fabric.parseFdbFile(o.fdbsFile) != 0)
    return cannotRun("cannot load the forwarding tables " + o.fdbsFile);

  // The pairs of every file, by stage.
  EndpointIndex endpoints(fabric);
  PairPlan plan;
  std::string err;
  for (const std::string& file : o.pairsFiles)
    if (!readPairsFile(file, endpoints, o.limits.lmc, &plan, &err)) return cannotRun(err);

  // Paths and loads, stage by stage.
  CheckReport report;
  report.fabric = &fabric;
  report.plan = &plan;
  report.limits = o.limits;
  StageChecker checker(fabric);
  for (const Stage& stage : plan.stages) report.stages.push_back(checker.check(stage, o.limits));
  report.degraded = findDegradedLinks(fabric);

  // Measured bandwidths to suspect links.
  Results results;
  if (!o.resultsFile.empty()) {
    if (!readResultsFile(o.resultsFile, endpoints, plan, &results, &err)) return cannotRun(err);
    report.results = &results;
    report.suspects = findSuspects(fabric, plan, report.stages, results, o.slowRule);
  }

  std::string out = o.json ? jsonReport(report).dump(2) + "\n" : textReport(report);
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    return cannotRun(std::string("cannot write the report: ") + std::strerror(errno));
  return report.holds() ? kCheckHolds : kCheckFails;
}
