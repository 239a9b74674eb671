#include "plan/run_plan.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "cli/console.h"
#include "fabric/fabric.h"
#include "grouping/port_groups.h"
#include "pairs/pairs_file.h"
#include "plan/compaction.h"
#include "plan/localize.h"
#include "plan/stage_bound.h"
#include "run/run.h"

namespace {

std::string stages(size_t n) {
  return std::to_string(n) + (n == 1 ? " stage" : " stages");
}

std::string percent(uint64_t part, uint64_t whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", whole ? 100.0 * part / whole : 100.0);
  return text;
}

// The line of stage k (from 1).
std::string stageLine(const Plan& plan, size_t k) {
  const StageResult& s = plan.stages[k - 1];
  const Coverable& c = plan.coverable;
  return "Stage " + std::to_string(k) + ": " + std::to_string(s.pairs.size()) + " pairs, " +
         std::to_string(s.newHosts) + " new hosts covered, " + std::to_string(s.newLinks) +
         " new directed links covered; covered so far: hosts " + std::to_string(s.hostsCovered) +
         "/" + std::to_string(c.coverableHosts) + " (" + percent(s.hostsCovered, c.coverableHosts) +
         "), directed links " + std::to_string(s.linksCovered) + "/" + std::to_string(c.links) +
         " (" + percent(s.linksCovered, c.links) + ")";
}

const char* gapText(HostGap gap) {
  switch (gap) {
    case HostGap::kNoLink:
      return "its port has no link";
    case HostGap::kNoLid:
      return "its port has no LID";
    case HostGap::kNoSwitch:
      return "its port is not cabled to a switch";
    case HostGap::kNoOtherGroup:
      return "no other group";
    case HostGap::kNoRoute:
      return "no complete route long enough to or from another group's host";
    case HostGap::kNone:
      break;
  }
  return "";
}

// At most this many not-coverable items are named one by one.
constexpr size_t kShown = 20;

void reportNotCoverable(const Coverable& c) {
  size_t hostItems = 0;
  for (size_t i = 0; i < c.hosts.size(); ++i) {
    for (int receive = 0; receive < 2; ++receive) {
      const HostGap gap = receive ? c.receiveGap[i] : c.sendGap[i];
      if (gap == HostGap::kNone) continue;
      if (hostItems++ < kShown) {
        printLine("-I- Not coverable: " + c.hosts[i]->getName() +
                  (receive ? " receiving: " : " sending: ") + gapText(gap));
      }
    }
  }
  if (hostItems > kShown)
    printLine("-I- Not coverable: " + std::to_string(hostItems - kShown) +
              " more host sends and receives");

  // Ports into hosts outside the groups are expected to stay idle: counted,
  // not named.
  size_t toHosts = 0, shown = 0;
  for (const IBPort* p : c.idlePorts) toHosts += !p->remote->owner->isSwitch();
  if (!c.idlePorts.empty()) {
    printLine("-I- Not coverable: " + std::to_string(c.idlePorts.size()) +
              " switch egress ports that no valid pair's route crosses (" +
              std::to_string(toHosts) + " of them lead to hosts)");
  }
  for (const IBPort* p : c.idlePorts) {
    if (!p->remote->owner->isSwitch() || shown++ == kShown) continue;
    printLine("-I- Not coverable: " + p->getName() + " -> " + p->remote->getName());
  }
  if (hostItems == 0 && c.idlePorts.empty()) printLine("-I- Not coverable: nothing");
}

// Every class of more than one link, with its members, up to kShown.
void reportClasses(const LinkClasses& classes) {
  size_t shown = 0, links = 0;
  for (size_t k = 0; k < classes.members.size(); ++k) {
    const auto& members = classes.members[k];
    if (members.size() < 2) continue;
    links += members.size();
    if (shown++ >= kShown) continue;
    std::string line = "-I- Inseparable: " + std::to_string(members.size()) +
                       " links crossed by the same " + std::to_string(classes.pairs[k]) +
                       (classes.pairs[k] == 1 ? " valid pair:" : " valid pairs:");
    for (const IBPort* p : members) {
      line += ' ';
      line += p->getName();
      line += " -> ";
      line += p->remote->getName();
    }
    printLine(line);
  }
  if (shown > kShown)
    printLine("-I- Inseparable: " + std::to_string(shown - kShown) + " more classes");
  printLine("-I- Inseparable classes: " + std::to_string(shown) + " of more than one link, " +
            std::to_string(links) + " of " + std::to_string(classes.links) +
            " coverable directed links in them; no test on these routes tells their links apart");
}

void reportSeparation(const Separation& s) {
  printLine("-I- Signatures: " + std::to_string(s.alone) + " of " + std::to_string(s.links) +
            " coverable directed links (" + percent(s.alone, s.links) +
            ") have a signature of their own; at most " + std::to_string(s.possible) + " (" +
            percent(s.possible, s.links) + ") can on these routes");
}

}  // namespace

bool writePlanFile(const std::string& fileName, const Plan& plan, bool withLid) {
  PairsFileWriter out(fileName, false);
  for (size_t k = 0; k < plan.stages.size() && out.ok(); ++k) {
    out.writeStage(static_cast<uint32_t>(k + 1));
    for (const PlannedPair& p : plan.stages[k].pairs)
      if (!out.writePair(*p.src, *p.dst, withLid ? p.dlid : 0)) break;
  }
  return out.close();
}

int runPlan(const PlanOptions& options) {
  const RunOptions& run = options.run;
  // Never replace an input with the plan.
  if (refuseOutputOverInput(run) != 0) return 1;

  IBFabric fabric;
  PortGroups groups;
  if (int status = loadFabric(run, fabric, groups); status != 0) return status;

  PlanSettings settings;
  settings.maxFlows = run.maxFlowsPerLink;
  settings.lmc = run.lmc;
  settings.minDist = run.minDist;
  settings.anyLid = options.anyLid;
  settings.maxStages = options.maxStages;

  const bool progress = isatty(STDERR_FILENO);
  auto onStage = [&](const Plan& p) {
    if (!progress) return;
    std::fprintf(stderr, "linkdeal-plan: planned %s\n", stageLine(p, p.stages.size()).c_str());
    std::fflush(stderr);
  };
  // The classes no plan can split, told before the stages so that none is
  // spent on them.
  const LinkClasses classes = findLinkClasses(fabric, groups, pairRulesOf(settings));
  reportClasses(classes);
  Plan plan = options.localize ? makeLocalizingPlan(fabric, groups, settings, classes, onStage)
                               : makePlan(fabric, groups, settings, onStage);
  // A coverage plan needs no pair that others make redundant; a localizing
  // one keeps them all, each telling some links apart.
  compactStages(fabric, plan.coverable, settings, plan.stages,
                options.localize ? Redundant::kSignatures : Redundant::kCovered);
  tightenLowerBound(fabric, groups, settings.maxFlows, plan.coverable);
  for (size_t k = 1; k <= plan.stages.size(); ++k) printLine("-I- " + stageLine(plan, k));

  if (!writePlanFile(run.outFile, plan, options.anyLid)) {
    printLine("-E- cant write:" + run.outFile);
    return 1;
  }
  size_t pairs = 0;
  for (const StageResult& s : plan.stages) pairs += s.pairs.size();
  const Coverable& c = plan.coverable;
  printLine("-I- Wrote " + std::to_string(pairs) + " pairs in " + stages(plan.stages.size()) +
            " into: " + run.outFile);
  if (plan.complete) {
    printLine("-I- Stages: " + std::to_string(plan.stages.size()) +
              ", every coverable host and directed link covered");
  } else {
    const StageResult* last = plan.stages.empty() ? nullptr : &plan.stages.back();
    const uint32_t hosts = last ? last->hostsCovered : 0;
    const uint32_t links = last ? last->linksCovered : 0;
    printLine("-W- Stages: " + std::to_string(plan.stages.size()) +
              ", coverage incomplete: " + std::to_string(c.coverableHosts - hosts) + " hosts and " +
              std::to_string(c.links - links) + " directed links not covered");
  }
  reportNotCoverable(c);
  reportSeparation(separationOf(fabric, classes, plan.stages));
  if (c.lowerBound == 0) {
    printLine("-I- Lower bound: 0 stages, nothing is coverable");
  } else {
    printLine("-I- Lower bound: " + stages(c.lowerBound) + " (" + c.boundReason + ")");
  }
  return 0;
}
