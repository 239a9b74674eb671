// Measured bandwidth per pair: "SRC DST VALUE" lines, optionally under
// "STAGE k" lines, matched to the pairs of the plan.
#pragma once

#include <string>
#include <vector>

#include "pairs/endpoints.h"
#include "pairs/pairs_reader.h"

// values[s][p] is the value measured for pair p of plan.stages[s]; NaN where
// the file gives none.
struct Results {
  std::vector<std::vector<double>> values;
};

// Reads a results file against plan. Lines under a STAGE line match pairs of
// that stage; lines before any STAGE line match the pair wherever the plan
// has it, which must then be in one stage only. A pair the plan does not
// hold, a second value for a pair, and a value that is not a finite number
// of at least 0 are errors. Returns false with *err set to "FILE:LINE: problem".
bool readResultsFile(const std::string& fileName, const EndpointIndex& endpoints,
                     const PairPlan& plan, Results* results, std::string* err);
