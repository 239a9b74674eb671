// linkdeal-check: pair lists checked on the fabric's real paths, degraded
// links, and suspects from measured bandwidths.
#include <cstdio>
#include <string>
#include <vector>

#include "check/degraded.h"
#include "check/html/html_report.h"
#include "check/link_ranking.h"
#include "check/options.h"
#include "check/report.h"
#include "check/results_reader.h"
#include "check/stage_check.h"
#include "cli/outputs.h"
#include "fabric/fabric.h"
#include "pairs/endpoints.h"
#include "pairs/pairs_reader.h"

namespace {

int cannotRun(const std::string& message) {
  std::fprintf(stderr, "linkdeal-check: %s\n", message.c_str());
  std::fflush(stderr);
  return kCheckUsage;
}

// Every file the check reads, by the option that names it.
std::vector<InputFile> inputFiles(const CheckOptions& o) {
  std::vector<InputFile> inputs = {
      {"-l", o.lstFile}, {"-f", o.fdbsFile}, {"-P", o.plftFile}, {"--results", o.resultsFile}};
  for (const std::string& file : o.pairsFiles) inputs.push_back({"PAIRS", file});
  return inputs;
}

// The status, unless what went to standard output was not all written.
int finish(int status) {
  std::string why;
  if (flushStandardOutput(&why)) return status;
  return cannotRun("cannot write standard output" + (why.empty() ? "" : ": " + why));
}

}  // namespace

int main(int argc, char* argv[]) {
  // A closed standard descriptor must not become the first file opened.
  if (!keepStandardDescriptors()) return cannotRun("cannot open /dev/null");
  CheckCommandLine cl = parseCheckCommandLine(argc, argv);
  if (!cl.run) return finish(cl.status);
  const CheckOptions& o = cl.options;

  // The report never goes into an input (a shell's >> onto one).
  if (const InputFile in = inputOnStandardOutput(inputFiles(o)); in.option)
    return cannotRun("standard output is an input of this check (" + std::string(in.option) + " " +
                     in.path + ")");
  if (!o.htmlFile.empty())
    if (const InputFile in = inputAt(o.htmlFile, inputFiles(o)); in.option)
      return cannotRun("--html " + o.htmlFile + " is an input of this check (" +
                       std::string(in.option) + " " + in.path + ")");

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

  if (!o.htmlFile.empty() && !writeHtmlReport(o.htmlFile, htmlReport(report), &err))
    return cannotRun(err);

  // Names are the topology's bytes, which need not be UTF-8: JSON gets U+FFFD
  // for a byte that is not, where the strict default would throw.
  std::string out =
      o.json
          ? jsonReport(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"
          : textReport(report);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return finish(report.holds() ? kCheckHolds : kCheckFails);
}
