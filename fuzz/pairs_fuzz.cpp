// Fuzzes the pair-list and test-results readers of linkdeal-check: the input
// is split at its first NUL into a pairs file and a results file, both read
// against the fixture fabric; whatever they accept must be usable.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "check/results_reader.h"
#include "check/stage_check.h"
#include "fabric/dumps/readers.h"
#include "fuzz/fuzz_files.h"
#include "pairs/endpoints.h"
#include "pairs/pairs_reader.h"

namespace {

const IBFabric& fixture() {
  static IBFabric* fabric = [] {
    auto* f = new IBFabric;
    std::string dir = fuzzDir();
    std::string err;
    if (!readLstFile(*f, dir + "/fabric.lst", &err) ||
        !readPlftFile(*f, dir + "/fabric.plft", &err) ||
        !readFdbFile(*f, dir + "/fabric.fdbs", &err))
      abort();
    return f;
  }();
  return *fabric;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const IBFabric& fabric = fixture();
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  size_t pairsSize = nul ? static_cast<size_t>(nul - data) : size;
  std::string pairsFile = writeFuzzFile("input.pairs", data, pairsSize);
  std::string resultsFile = nul ? writeFuzzFile("input.results", nul + 1, size - pairsSize - 1)
                                : writeFuzzFile("input.results", data, 0);

  EndpointIndex endpoints(fabric);
  PairPlan plan;
  std::string err;
  uint16_t lmc = size > 0 ? data[size - 1] % 3 : 0;
  if (!readPairsFile(pairsFile, endpoints, lmc, &plan, &err)) return 0;
  for (size_t s = 0; s < plan.stages.size(); ++s) {
    if (s > 0 && plan.stages[s - 1].number >= plan.stages[s].number) abort();
    for (const PlanPair& p : plan.stages[s].pairs)
      if (!p.src || !p.dst || p.src->owner->isSwitch() || p.dst->owner->isSwitch()) abort();
  }
  // Accepted pairs can be walked.
  StageChecker checker(fabric);
  CheckLimits limits;
  limits.lmc = lmc;
  limits.anyLid = true;
  for (const Stage& st : plan.stages) checker.check(st, limits);

  Results results;
  if (!readResultsFile(resultsFile, endpoints, plan, &results, &err)) return 0;
  if (results.values.size() != plan.stages.size()) abort();
  for (size_t s = 0; s < plan.stages.size(); ++s)
    for (double v : results.values[s])
      if (!std::isnan(v) && !(v >= 0)) abort();
  return 0;
}
