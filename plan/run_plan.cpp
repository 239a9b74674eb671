#include "plan/run_plan.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "cli/console.h"
#include "fabric/fabric.h"
#include "grouping/port_groups.h"
#include "pairs/pairs_file.h"
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

std::string stageLine(const Plan& plan) {
  const StageResult& s = plan.stages.back();
  const Coverable& c = plan.coverable;
  return "Stage " + std::to_string(plan.stages.size()) + ": " + std::to_string(s.pairs.size()) +
         " pairs, " + std::to_string(s.newHosts) + " new hosts covered, " +
         std::to_string(s.newLinks) + " new directed links covered; covered so far: hosts " +
         std::to_string(s.hostsCovered) + "/" + std::to_string(c.coverableHosts) + " (" +
         percent(s.hostsCovered, c.coverableHosts) + "), directed links " +
         std::to_string(s.linksCovered) + "/" + std::to_string(c.links) + " (" +
         percent(s.linksCovered, c.links) + ")";
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
  const Plan plan = makePlan(fabric, groups, settings, [&](const Plan& p) {
    const std::string line = stageLine(p);
    printLine("-I- " + line);
    if (progress) {
      std::fprintf(stderr, "linkdeal-plan: %s\n", line.c_str());
      std::fflush(stderr);
    }
  });

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
  if (c.lowerBound == 0) {
    printLine("-I- Lower bound: 0 stages, nothing is coverable");
  } else {
    printLine("-I- Lower bound: " + stages(c.lowerBound) + " (" + c.boundReason + ")");
  }
  return 0;
}
