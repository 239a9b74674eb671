// The check's findings, as text or as one JSON document with the same content.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "check/degraded.h"
#include "check/link_ranking.h"
#include "check/stage_check.h"
#include "pairs/pairs_reader.h"

// Follow-up stages written with --follow-up.
struct FollowUp {
  std::string file;
  std::vector<Stage> stages;
};

struct CheckReport {
  const IBFabric* fabric = nullptr;
  const PairPlan* plan = nullptr;
  CheckLimits limits;
  std::vector<StageCheck> stages;  // by plan stage index
  DegradedReport degraded;
  const Results* results = nullptr;       // set with --results
  std::optional<SuspectReport> suspects;  // set with --results
  std::optional<FollowUp> followUp;       // set with --follow-up

  bool holds() const {
    for (const StageCheck& s : stages)
      if (!s.holds()) return false;
    return true;
  }
};

std::string textReport(const CheckReport& report);
nlohmann::ordered_json jsonReport(const CheckReport& report);
