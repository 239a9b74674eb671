// linkdeal-check: pair lists checked on the fabric's real paths, degraded
// links, and suspects from measured bandwidths.
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "check/degraded.h"
#include "check/flow_model.h"
#include "check/follow_up.h"
#include "check/html/html_report.h"
#include "check/link_ranking.h"
#include "check/options.h"
#include "check/report.h"
#include "check/results_reader.h"
#include "check/separation.h"
#include "check/stage_check.h"
#include "cli/outputs.h"
#include "fabric/fabric.h"
#include "fabric/routing/forwarding_states.h"
#include "grouping/leaf_groups.h"
#include "grouping/port_groups.h"
#include "pairs/endpoints.h"
#include "pairs/pairs_file.h"
#include "pairs/pairs_reader.h"
#include "signatures/link_classes.h"

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

// The pairs of a stage whose path crosses link (a host's port or a switch
// egress port).
bool crosses(const StageCheck& check, const PlanPair& pair, uint32_t p, const IBPort* link) {
  const PairRoute& r = check.routes[p];
  if (!r.arrived) return false;
  if (pair.src == link) return true;
  for (uint32_t h = r.first; h < r.first + r.count; ++h)
    if (check.hops[h] == link) return true;
  return false;
}

// Predicted values as a results file: STAGE lines and "SRC DST VALUE".
std::string predictedResults(const PairPlan& plan, const std::vector<std::vector<double>>& v) {
  std::string out;
  char value[32];
  for (size_t s = 0; s < plan.stages.size(); ++s) {
    out += stageLine(plan.stages[s].number) + "\n";
    for (size_t p = 0; p < plan.stages[s].pairs.size(); ++p) {
      if (std::isnan(v[s][p])) continue;  // no complete path: nothing to expect
      const PlanPair& pair = plan.stages[s].pairs[p];
      std::snprintf(value, sizeof value, " %.6g\n", v[s][p]);
      out += pairLine(*pair.src, *pair.dst) + value;
    }
  }
  return out;
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
  for (auto [option, file] : {std::pair<const char*, const std::string&>{"--html", o.htmlFile},
                              {"--predict", o.predictFile},
                              {"--follow-up", o.followUpFile}}) {
    if (file.empty() || file == "-") continue;
    if (const InputFile in = inputAt(file, inputFiles(o)); in.option)
      return cannotRun(std::string(option) + " " + file + " is an input of this check (" +
                       std::string(in.option) + " " + in.path + ")");
  }

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
  report.stages.reserve(plan.stages.size());
  for (const Stage& stage : plan.stages) report.stages.push_back(checker.check(stage, o.limits));
  report.degraded = findDegradedLinks(fabric);

  // What each pair should reach: the recorded link rates (or the host rate
  // where none is recorded) shared within each stage.
  const double hostRate = o.slowRule.hostRate;
  if (!o.predictFile.empty()) {
    LinkRates rates = recordedLinkRates(fabric, o.slowRule.unitPerMbps, hostRate);
    if (!rates.recorded && hostRate == 0)
      return cannotRun("--predict: the topology records no link rate; give --host-rate");
    for (const std::string& text : o.degrade) {
      Degradation d;
      if (!parseDegradation(fabric, text, &d, &err)) return cannotRun(err);
      rates.rate[static_cast<size_t>(d.port - fabric.ports().data())] *= d.fraction;
    }
    std::string text =
        predictedResults(plan, fairShares(fabric, plan, report.stages, rates, hostRate));
    if (o.predictFile == "-") {
      std::fwrite(text.data(), 1, text.size(), stdout);
      return finish(report.holds() ? kCheckHolds : kCheckFails);
    }
    FILE* out = std::fopen(o.predictFile.c_str(), "w");
    bool written = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (out && std::fclose(out) != 0) written = false;
    if (!written) return cannotRun("cannot write the predicted results to " + o.predictFile);
  }

  // Measured bandwidths to suspect links.
  Results results;
  if (!o.resultsFile.empty()) {
    if (!readResultsFile(o.resultsFile, endpoints, plan, &results, &err)) return cannotRun(err);
    report.results = &results;
    LinkRates rates =
        recordedLinkRates(fabric, o.slowRule.unitPerMbps, hostRate > 0 ? hostRate : 1);
    Expected expected{fairShares(fabric, plan, report.stages, rates, hostRate),
                      rates.recorded || hostRate > 0};
    report.suspects = findSuspects(fabric, plan, report.stages, results, o.slowRule, expected);

    // What tests on these routes could still do with each class: the links
    // that exactly the same valid pairs cross stay together whatever the test.
    PortGroups groups;
    if (o.groupByLeaf) {
      fillLeafGroups(fabric, groups);
    } else if (!o.groupExpression.empty()) {
      if (!fillPortGroups(fabric, o.groupExpression, groups))
        return cannotRun("-i: '" + o.groupExpression + "' does not compile");
    } else {
      groups = everyHostGroups(fabric);
    }
    std::vector<Suspect>& suspects = report.suspects->suspects;
    LinkClasses classes;
    if (!suspects.empty())
      classes = findLinkClasses(fabric, groups,
                                {o.limits.maxFlows, o.limits.lmc, o.minDist, o.limits.anyLid});
    PairRule rule = pairRuleOf(fabric, groups, o.minDist);
    ForwardingStates states(fabric);
    std::vector<std::vector<PlanPair>> tests;
    for (Suspect& su : suspects) {
      std::map<int32_t, std::vector<const IBPort*>> byClass;
      for (const IBPort* l : su.links) {
        int32_t c = classOfLink(fabric, classes, *l);
        byClass[c == LinkClasses::kNotCrossed ? -1 - static_cast<int32_t>(byClass.size()) : c]
            .push_back(l);
      }
      for (auto& [c, links] : byClass)
        if (links.size() > 1) su.together.push_back(std::move(links));
      su.separationKnown = byClass.size() == 1 || su.links.size() <= kMaxClassLinks;
      su.splittable = byClass.size() > 1;
      if (!su.splittable || !su.separationKnown) continue;
      std::vector<PlanPair> slow;
      for (const SlowPair& sp : report.suspects->slow) {
        const PlanPair& pair = plan.stages[sp.ref.stage].pairs[sp.ref.pair];
        if (crosses(report.stages[sp.ref.stage], pair, sp.ref.pair, su.link)) slow.push_back(pair);
      }
      ClassSplit split = splitClass(fabric, states, rule, rates.rate, su.links, slow);
      su.splittable = split.splittable;
      su.hidden = !split.splittable;
      if (su.splittable) tests.insert(tests.end(), split.tests.begin(), split.tests.end());
    }
    mergeCables(&*report.suspects);

    if (!o.followUpFile.empty()) {
      uint32_t next = plan.stages.empty() ? 1 : plan.stages.back().number + 1;
      FollowUp& f = report.followUp.emplace();
      f.file = o.followUpFile;
      f.stages = packFollowUp(fabric, tests, o.limits.maxFlows, next);
      if (!writeFollowUp(o.followUpFile, f.stages, &err)) return cannotRun(err);
    }
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
  if (!report.holds()) return finish(kCheckFails);
  return finish(report.suspects && !report.suspects->slow.empty() ? kCheckSlow : kCheckHolds);
}
