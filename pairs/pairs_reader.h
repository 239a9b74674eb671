// Pair lists to check: pairs files as linkdeal and linkdeal-plan write them
// (comment header, then "STAGE k" sections of "SRC DST [0xLID]" lines), or
// plain "SRC DST" lists, which form stage 1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fabric/fabric.h"
#include "pairs/endpoints.h"

struct PlanPair {
  const IBPort* src = nullptr;
  const IBPort* dst = nullptr;
  uint16_t lid = 0;  // the destination LID the line fixes; 0: not fixed
};

struct Stage {
  uint32_t number = 0;
  std::vector<PlanPair> pairs;  // in file order, files in the order read
};

// The pairs of every file read, by stage number: the pairs of one stage run
// at the same time, whichever file they came from.
struct PairPlan {
  std::vector<Stage> stages;  // ascending stage number
};

// Reads one pairs file into plan. A fixed LID must be one of the destination's
// 2^lmc LIDs. Returns false with *err set to "FILE:LINE: problem".
bool readPairsFile(const std::string& fileName, const EndpointIndex& endpoints, uint16_t lmc,
                   PairPlan* plan, std::string* err);

// Splits a line into its blank-separated words; false when there are more
// than max.
bool splitWords(std::string_view line, std::vector<std::string_view>* words, size_t max);

// "STAGE k" with k a decimal from 1 up: true with *number set. A line that
// starts with the word STAGE but is malformed sets *problem.
bool parseStageLine(const std::vector<std::string_view>& words, uint32_t* number,
                    std::string* problem);

// The stage of plan with this number, added in order when missing.
Stage& stageNumbered(PairPlan& plan, uint32_t number);
