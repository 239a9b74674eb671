#include "pairs/pairs_reader.h"

#include <algorithm>

#include "fabric/text/line_reader.h"
#include "fabric/text/scan.h"

bool splitWords(std::string_view line, std::vector<std::string_view>* words, size_t max) {
  words->clear();
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i == line.size()) break;
    size_t start = i;
    while (i < line.size() && !isBlank(line[i])) ++i;
    if (words->size() == max) return false;
    words->push_back(line.substr(start, i - start));
  }
  return true;
}

bool parseStageLine(const std::vector<std::string_view>& words, uint32_t* number,
                    std::string* problem) {
  problem->clear();
  if (words.empty() || words[0] != "STAGE") return false;
  uint64_t n = 0;
  if (words.size() == 2) {
    const char* p = words[1].data();
    const char* end = p + words[1].size();
    if (scanDec(&p, end, 1000000, &n) != NumScan::kOk || p != end) n = 0;
  }
  if (n == 0) {
    *problem = "expected 'STAGE k' with k a number from 1 to 1000000";
    return false;
  }
  *number = static_cast<uint32_t>(n);
  return true;
}

Stage& stageNumbered(PairPlan& plan, uint32_t number) {
  auto it = std::lower_bound(plan.stages.begin(), plan.stages.end(), number,
                             [](const Stage& s, uint32_t n) { return s.number < n; });
  if (it == plan.stages.end() || it->number != number) {
    it = plan.stages.insert(it, Stage{});
    it->number = number;
  }
  return *it;
}

namespace {

// Adds a file's stages (unique numbers, in file order) to plan, whose stages
// stay in ascending order; a stage both hold gets the file's pairs after its
// own. Sorting and one merge keep this linear in the stages however the file
// orders them.
void mergeStages(PairPlan& plan, std::vector<Stage>& added) {
  std::sort(added.begin(), added.end(),
            [](const Stage& a, const Stage& b) { return a.number < b.number; });
  std::vector<Stage> merged;
  merged.reserve(plan.stages.size() + added.size());
  auto old = plan.stages.begin();
  for (Stage& stage : added) {
    while (old != plan.stages.end() && old->number < stage.number)
      merged.push_back(std::move(*old++));
    if (old != plan.stages.end() && old->number == stage.number) {
      old->pairs.insert(old->pairs.end(), stage.pairs.begin(), stage.pairs.end());
      merged.push_back(std::move(*old++));
    } else {
      merged.push_back(std::move(stage));
    }
  }
  while (old != plan.stages.end()) merged.push_back(std::move(*old++));
  plan.stages = std::move(merged);
}

}  // namespace

bool readPairsFile(const std::string& fileName, const EndpointIndex& endpoints, uint16_t lmc,
                   PairPlan* plan, std::string* err) {
  LineReader in;
  if (!in.open(fileName, err)) return false;
  std::vector<std::string_view> words;
  std::vector<Stage> added;  // this file's stages in file order; pairs go to the last
  std::vector<bool> seen;    // by stage number: this file has a STAGE line for it
  bool plainList = false;
  std::string problem;
  std::string_view line;
  auto fail = [&](const std::string& what) {
    *err = in.lineError(what);
    return false;
  };

  while (in.next(&line)) {
    if (isBlankOrComment(line)) continue;
    if (!splitWords(line, &words, 3)) return fail("expected 'SRC DST' or 'SRC DST 0xLID'");
    uint32_t number;
    if (parseStageLine(words, &number, &problem)) {
      if (plainList) return fail("a STAGE line after pairs that had none");
      if (number < seen.size() && seen[number])
        return fail("stage " + std::to_string(number) + " appears twice");
      if (number >= seen.size()) seen.resize(std::max<size_t>(number + 1, seen.size() * 2));
      seen[number] = true;
      added.push_back(Stage{number, {}});
      continue;
    }
    if (!problem.empty()) return fail(problem);
    if (words.size() < 2) return fail("expected 'SRC DST' or 'SRC DST 0xLID'");
    if (added.empty()) {
      plainList = true;
      added.push_back(Stage{1, {}});
    }

    PlanPair pair;
    pair.src = endpoints.find(words[0], &problem);
    if (!pair.src) return fail(problem);
    pair.dst = endpoints.find(words[1], &problem);
    if (!pair.dst) return fail(problem);
    if (words.size() == 3) {
      std::string_view t = words[2];
      const char* p = t.data() + 2;
      const char* end = t.data() + t.size();
      uint64_t lid;
      if (t.substr(0, 2) != "0x" || scanHex(&p, end, 0xffff, &lid) != NumScan::kOk || p != end ||
          lid == 0)
        return fail("third field " + quoted(t) + " is no LID (expected 0x and 1 to 4 hex digits)");
      uint32_t base = pair.dst->baseLid;
      if (base == 0 || lid < base || lid >= base + (uint32_t{1} << lmc))
        return fail("LID " + std::string(t) + " is not one of " + pair.dst->getName() +
                    "'s LIDs (base " + std::to_string(base) + ", LMC " + std::to_string(lmc) + ")");
      pair.lid = static_cast<uint16_t>(lid);
    }
    added.back().pairs.push_back(pair);
  }
  if (in.failed()) {
    *err = in.error();
    return false;
  }
  mergeStages(*plan, added);
  return true;
}
