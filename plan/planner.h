// Multi-stage test plans: stages of source/destination pairs, each as
// congestion-free as one linkdeal run, that together make every grouped host
// send and receive and every directed link that a host-to-host route crosses
// carry traffic.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fabric/fabric.h"
#include "grouping/port_groups.h"

struct PlanSettings {
  uint32_t maxFlows = 1;   // pairs one switch egress port may carry in a stage
  uint16_t lmc = 0;        // each host port owns 2^lmc LIDs
  uint32_t minDist = 0;    // fewest links from source to destination
  bool anyLid = false;     // a pair may aim at any LID of its destination, not just the base LID
  uint32_t maxStages = 0;  // 0: as many as complete coverage takes
};

struct PlannedPair {
  IBPort* src = nullptr;
  IBPort* dst = nullptr;
  uint16_t dlid = 0;  // the destination LID whose route the pair follows
};

struct StageResult {
  std::vector<PlannedPair> pairs;
  uint32_t newHosts = 0;  // hosts whose last wanted send or receive came in this stage
  uint32_t newLinks = 0;  // directed links first crossed in this stage
  uint32_t hostsCovered = 0;
  uint32_t linksCovered = 0;
};

// Why a grouped host can send or receive in no valid pair.
enum class HostGap : uint8_t {
  kNone,
  kNoLink,        // port 1 has no link
  kNoLid,         // port 1 has no LID, so nothing can be sent to it
  kNoSwitch,      // port 1 is cabled to something other than a switch
  kNoOtherGroup,  // every grouped host is in its group
  kNoRoute,       // no route to or from another group's host is complete and long enough
};

// What a plan can cover at all, and how few stages it must take.
struct Coverable {
  // By index into IBFabric::ports(): a switch egress port crossed by the
  // route of some valid pair.
  std::vector<uint8_t> port;
  // Grouped hosts, groups in name order and ports in set order.
  std::vector<IBPort*> hosts;
  std::vector<int32_t> hostGroup;  // group number, in name order
  std::vector<uint8_t> send, receive;
  std::vector<HostGap> sendGap, receiveGap;
  uint32_t coverableHosts = 0;  // hosts with a send or a receive to cover
  uint32_t links = 0;           // coverable directed links: switch egress ports plus host sends
  // Linked switch egress ports that no valid pair's route crosses.
  std::vector<const IBPort*> idlePorts;
  uint32_t lowerBound = 0;  // stages any complete plan needs
  std::string boundReason;
};

struct Plan {
  Coverable coverable;
  std::vector<StageResult> stages;
  bool complete = false;  // everything coverable is covered
};

// Finds what can be covered, then builds stages until everything coverable is
// covered, maxStages is reached, or a stage adds nothing (which the search
// never allows while something coverable is left). onStage sees each stage as
// it is finished. The fabric's ports must not move while the plan lives.
Plan makePlan(const IBFabric& fabric, const PortGroups& groups, const PlanSettings& settings,
              const std::function<void(const Plan&)>& onStage = {});

// Finds what valid pairs can cover (the first step of makePlan).
Coverable findCoverable(const IBFabric& fabric, const PortGroups& groups,
                        const PlanSettings& settings);
