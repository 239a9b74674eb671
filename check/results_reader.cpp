#include "check/results_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "fabric/text/line_reader.h"
#include "fabric/text/scan.h"

namespace {

constexpr uint32_t kInSeveralStages = UINT32_MAX;
constexpr double kMaxResultValue = 1e15;

struct PairAt {
  uint32_t stage;
  uint32_t pair;
};

// Both ports belong to one fabric, so their addresses identify them.
struct PairKeyHash {
  size_t operator()(const std::pair<const IBPort*, const IBPort*>& k) const {
    return std::hash<const void*>{}(k.first) * 1000003u ^ std::hash<const void*>{}(k.second);
  }
};

using PairMap = std::unordered_map<std::pair<const IBPort*, const IBPort*>, PairAt, PairKeyHash>;

}  // namespace

bool readResultsFile(const std::string& fileName, const EndpointIndex& endpoints,
                     const PairPlan& plan, Results* results, std::string* err) {
  // Where each pair is: first in its stage, and across stages.
  PairMap anywhere;
  std::vector<PairMap> inStage(plan.stages.size());
  results->values.assign(plan.stages.size(), {});
  for (uint32_t s = 0; s < plan.stages.size(); ++s) {
    const std::vector<PlanPair>& pairs = plan.stages[s].pairs;
    results->values[s].assign(pairs.size(), std::numeric_limits<double>::quiet_NaN());
    inStage[s].reserve(pairs.size());
    for (uint32_t p = 0; p < pairs.size(); ++p) {
      auto key = std::make_pair(pairs[p].src, pairs[p].dst);
      if (!inStage[s].emplace(key, PairAt{s, p}).second) continue;
      auto [it, added] = anywhere.emplace(key, PairAt{s, p});
      if (!added) it->second.stage = kInSeveralStages;
    }
  }

  LineReader in;
  if (!in.open(fileName, err)) return false;
  std::vector<std::string_view> words;
  std::string problem;
  std::string_view line;
  int stage = -1;  // index into plan.stages; -1 before any STAGE line
  auto fail = [&](const std::string& what) {
    *err = in.lineError(what);
    return false;
  };

  while (in.next(&line)) {
    if (isBlankOrComment(line)) continue;
    if (!splitWords(line, &words, 3)) return fail("expected 'SRC DST VALUE'");
    uint32_t number;
    if (parseStageLine(words, &number, &problem)) {
      auto at = std::lower_bound(plan.stages.begin(), plan.stages.end(), number,
                                 [](const Stage& s, uint32_t n) { return s.number < n; });
      stage = at != plan.stages.end() && at->number == number
                  ? static_cast<int>(at - plan.stages.begin())
                  : -1;
      if (stage < 0) return fail("the pairs have no stage " + std::to_string(number));
      continue;
    }
    if (!problem.empty()) return fail(problem);
    if (words.size() != 3) return fail("expected 'SRC DST VALUE'");

    const IBPort* src = endpoints.find(words[0], &problem);
    if (!src) return fail(problem);
    const IBPort* dst = endpoints.find(words[1], &problem);
    if (!dst) return fail(problem);
    double value;
    const char* vb = words[2].data();
    const char* ve = vb + words[2].size();
    auto [vp, ec] = std::from_chars(vb, ve, value);
    if (ec != std::errc() || vp != ve || !std::isfinite(value) || value < 0)
      return fail("value " + quoted(words[2]) + " is not a number of at least 0");
    // Far above any link's rate in any unit; sums and medians of such values
    // could overflow to infinity.
    if (value > kMaxResultValue)
      return fail("value " + quoted(words[2]) + " is above 1e15, more than any link carries");

    auto key = std::make_pair(src, dst);
    const PairMap& map = stage < 0 ? anywhere : inStage[static_cast<size_t>(stage)];
    auto it = map.find(key);
    std::string pairText = src->getName() + " " + dst->getName();
    if (it == map.end()) {
      if (stage < 0) return fail("the pairs do not hold " + pairText);
      return fail("stage " + std::to_string(plan.stages[static_cast<size_t>(stage)].number) +
                  " does not hold " + pairText);
    }
    if (it->second.stage == kInSeveralStages)
      return fail(pairText + " is in several stages: put its result under a STAGE line");
    double& slot = results->values[it->second.stage][it->second.pair];
    if (!std::isnan(slot)) return fail("a second value for " + pairText);
    slot = value;
  }
  if (in.failed()) {
    *err = in.error();
    return false;
  }
  return true;
}
