#include "plan/localize.h"

#include <algorithm>
#include <map>
#include <random>
#include <utility>

#include "plan/compaction.h"
#include "plan/pair_path.h"

namespace {

uint64_t mix(uint64_t z) {
  z += 0x9e3779b97f4a7c15u;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

// The stages, one pair at a time: each source in turn takes the destination
// whose pair is worth most, first by what it covers (links few valid pairs
// cross count most), then by how many pairs of classes that still share a
// signature it tells apart.
class LocalizingStager {
 public:
  LocalizingStager(const IBFabric& fabric, const Coverable& c, const PlanSettings& settings,
                   const LinkClasses& classes)
      : c_(&c),
        settings_(&settings),
        classes_(&classes),
        walker_(fabric),
        ports_(fabric.ports().size()),
        part_(classes.members.size(), 0),
        unitCovered_(classes.members.size(), 0),
        unitStamp_(classes.members.size(), 0),
        sent_(c.hosts.size(), 0) {
    if (!classes.members.empty())
      partSize_.push_back(static_cast<uint32_t>(classes.members.size()));
    partStamp_.assign(classes.members.size() + 1, 0);
    partCount_.assign(classes.members.size() + 1, 0);
    unitsLeft_ = static_cast<uint32_t>(classes.members.size());
    sharing_ = classes.members.size() > 1 ? 1 : 0;
    std::vector<int32_t> owner(size_t{1} << 16, -1);
    const uint32_t lids = settings.anyLid ? uint32_t{1} << std::min<uint16_t>(settings.lmc, 16) : 1;
    for (size_t i = 0; i < c.hosts.size(); ++i) {
      for (uint32_t k = 0; k < lids && c.hosts[i]->baseLid != 0; ++k)
        owner[static_cast<uint16_t>(c.hosts[i]->baseLid + k)] = static_cast<int32_t>(i);
    }
    for (uint32_t lid = 0; lid < owner.size(); ++lid) {
      if (owner[lid] >= 0 && c.receive[static_cast<size_t>(owner[lid])])
        targets_.push_back({static_cast<uint16_t>(lid), owner[lid]});
    }
  }

  bool anythingLeft() const { return unitsLeft_ > 0 || sharing_ > 0; }
  // What is left, least first: links to cover, then parts to split.
  std::pair<uint32_t, uint32_t> left() const { return {unitsLeft_, sharing_}; }
  bool coverageLeft() const { return unitsLeft_ > 0; }
  std::vector<StageResult>& stages() { return stages_; }
  void reseed(uint32_t trial) {
    rng_.seed(20260101u + trial + 7919u * static_cast<uint32_t>(stages_.size()));
  }

  // Adds to stage k (a new one when k is the stage count) the pairs worth
  // something that still fit: each source not sending there yet takes its
  // best destination. With thorough, every source weighs every
  // destination; otherwise it stops after kEnough worthwhile ones, which is
  // enough while much is left, or after kMostWeighed. Returns the pairs
  // added.
  size_t fill(size_t k, bool thorough) {
    if (k == stages_.size()) {
      stages_.emplace_back();
      bookings_.emplace_back(ports_, c_->hosts.size());
    }
    thorough_ = thorough;
    std::vector<int32_t> order;
    for (size_t i = 0; i < c_->hosts.size(); ++i)
      if (c_->send[i] && !bookings_[k].sends[i]) order.push_back(static_cast<int32_t>(i));
    for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[rng_() % i]);
    // Sources that have not sent yet go first.
    std::stable_partition(order.begin(), order.end(), [&](int32_t s) { return !sent_[s]; });
    size_t added = 0;
    for (int32_t s : order) {
      if (!anythingLeft()) break;
      added += addPair(s, k);
    }
    if (stages_[k].pairs.empty()) {
      stages_.pop_back();
      bookings_.pop_back();
    }
    return added;
  }

 private:
  // One stage's bookings: port loads, and which hosts send and receive.
  struct Booking {
    std::vector<uint32_t> load;
    std::vector<uint8_t> sends, receives;  // by host
    Booking(size_t ports, size_t hosts) : load(ports, 0), sends(hosts, 0), receives(hosts, 0) {}
  };

  // What a pair over path is worth; 0 when nothing.
  double worth(const std::vector<uint32_t>& path) {
    ++evalStamp_;
    double cover = 0;
    uint64_t told = 0;
    touched_.clear();
    for (uint32_t e : path) {
      const int32_t u = classes_->classOfPort[e];
      if (u < 0 || unitStamp_[static_cast<size_t>(u)] == evalStamp_) continue;
      unitStamp_[static_cast<size_t>(u)] = evalStamp_;
      if (!unitCovered_[static_cast<size_t>(u)])
        cover += 1.0 + 64.0 / static_cast<double>(classes_->pairs[static_cast<size_t>(u)]);
      const uint32_t k = part_[static_cast<size_t>(u)];
      if (partStamp_[k] != evalStamp_) {
        partStamp_[k] = evalStamp_;
        partCount_[k] = 0;
        touched_.push_back(k);
      }
      ++partCount_[k];
    }
    for (uint32_t k : touched_) told += uint64_t{partCount_[k]} * (partSize_[k] - partCount_[k]);
    return cover * 1e12 + static_cast<double>(told);
  }

  bool addPair(int32_t s, size_t k) {
    Booking& b = bookings_[k];
    const int32_t ownGroup = c_->hostGroup[static_cast<size_t>(s)];
    const IBPort& src = *c_->hosts[static_cast<size_t>(s)];
    double best = 0;
    size_t bestTarget = 0;
    const size_t n = targets_.size();
    const size_t start = n ? rng_() % n : 0;
    uint32_t worthwhile = 0, weighed = 0;
    for (size_t j = 0; j < n; ++j) {
      const auto& [lid, d] = targets_[(start + j) % n];
      if (c_->hostGroup[static_cast<size_t>(d)] == ownGroup || b.receives[static_cast<size_t>(d)])
        continue;
      if (!walker_.walk(src, *c_->hosts[static_cast<size_t>(d)], lid, path_, &b.load,
                        settings_->maxFlows) ||
          path_.size() < settings_->minDist)
        continue;
      const double w = worth(path_);
      if (w > best) {
        best = w;
        bestTarget = (start + j) % n;
      }
      if (!thorough_ && ((w > 0 && ++worthwhile >= kEnough) || ++weighed >= kMostWeighed)) break;
    }
    if (best <= 0) return false;
    const auto [lid, d] = targets_[bestTarget];
    walker_.walk(src, *c_->hosts[static_cast<size_t>(d)], lid, path_);
    stages_[k].pairs.push_back(
        {c_->hosts[static_cast<size_t>(s)], c_->hosts[static_cast<size_t>(d)], lid});
    b.sends[static_cast<size_t>(s)] = 1;
    b.receives[static_cast<size_t>(d)] = 1;
    for (size_t i = 1; i < path_.size(); ++i) ++b.load[path_[i]];
    split(path_);
    sent_[static_cast<size_t>(s)] = 1;
    return true;
  }

  // The pair's classes leave the signature they shared with the classes it
  // does not cross.
  void split(const std::vector<uint32_t>& path) {
    ++evalStamp_;
    std::map<uint32_t, std::vector<uint32_t>> crossed;  // part -> its units on the path
    for (uint32_t e : path) {
      const int32_t u = classes_->classOfPort[e];
      if (u < 0 || unitStamp_[static_cast<size_t>(u)] == evalStamp_) continue;
      unitStamp_[static_cast<size_t>(u)] = evalStamp_;
      if (!unitCovered_[static_cast<size_t>(u)]) {
        unitCovered_[static_cast<size_t>(u)] = 1;
        --unitsLeft_;
      }
      crossed[part_[static_cast<size_t>(u)]].push_back(static_cast<uint32_t>(u));
    }
    for (const auto& [k, units] : crossed) {
      if (units.size() == partSize_[k]) continue;
      const uint32_t fresh = static_cast<uint32_t>(partSize_.size());
      partSize_.push_back(static_cast<uint32_t>(units.size()));
      partStamp_.push_back(0);
      partCount_.push_back(0);
      const bool wasShared = partSize_[k] > 1;
      partSize_[k] -= static_cast<uint32_t>(units.size());
      for (uint32_t u : units) part_[u] = fresh;
      sharing_ -= wasShared;
      sharing_ += (partSize_[k] > 1) + (units.size() > 1);
    }
  }

  static constexpr uint32_t kEnough = 32;
  static constexpr uint32_t kMostWeighed = 1024;

  // Pointers, not references, so that a stager can be copied for a try.
  const Coverable* c_;
  const PlanSettings* settings_;
  const LinkClasses* classes_;
  PairPathWalker walker_;
  size_t ports_;
  std::vector<std::pair<uint16_t, int32_t>> targets_;  // (LID, its host) of hosts that can receive
  std::vector<StageResult> stages_;
  std::vector<Booking> bookings_;   // by stage
  std::vector<uint32_t> part_;      // by class: the part of classes sharing its signature
  std::vector<uint32_t> partSize_;  // by part: its classes
  std::vector<uint8_t> unitCovered_;
  std::vector<uint32_t> unitStamp_, partStamp_, partCount_, touched_;
  std::vector<uint8_t> sent_;  // by host: has sent in some stage
  std::vector<uint32_t> path_;
  bool thorough_ = false;
  uint32_t evalStamp_ = 0;
  uint32_t unitsLeft_ = 0;
  uint32_t sharing_ = 0;  // parts of more than one class
  std::mt19937 rng_{20260101};
};

// Tries at each new stage.
constexpr uint32_t kTries = 8;
// Above this many hosts, 2 tries: each costs a whole stage.
constexpr size_t kManyHosts = 4096;

}  // namespace

PairRules pairRulesOf(const PlanSettings& s) {
  return {s.maxFlows, s.lmc, s.minDist, s.anyLid};
}

Separation separationOf(const IBFabric& fabric, const LinkClasses& classes,
                        const std::vector<StageResult>& stages) {
  Separation out;
  PairPathWalker walker(fabric);
  std::vector<std::pair<uint64_t, uint32_t>> signature(fabric.ports().size(), {0, 0});
  std::vector<uint32_t> path;
  uint64_t pairId = 0;
  for (const StageResult& stage : stages) {
    for (const PlannedPair& p : stage.pairs) {
      const uint64_t h = mix(++pairId);
      if (!walker.walk(*p.src, *p.dst, p.dlid, path)) continue;
      for (uint32_t e : path) {
        signature[e].first += h;
        ++signature[e].second;
      }
    }
  }
  std::map<std::pair<uint64_t, uint32_t>, uint32_t> shared;
  for (size_t e = 0; e < signature.size(); ++e)
    if (classes.classOfPort[e] >= 0) ++shared[signature[e]];
  for (size_t e = 0; e < signature.size(); ++e) {
    const int32_t u = classes.classOfPort[e];
    if (u < 0) continue;
    ++out.links;
    out.alone += shared[signature[e]] == 1;
    out.possible += classes.members[static_cast<size_t>(u)].size() == 1;
  }
  for (const auto& members : classes.members) {
    if (members.size() < 2) continue;
    ++out.classes;
    out.inClasses += static_cast<uint32_t>(members.size());
  }
  return out;
}

Plan makeLocalizingPlan(const IBFabric& fabric, const PortGroups& groups,
                        const PlanSettings& settings, const LinkClasses& classes,
                        const std::function<void(const Plan&)>& onStage) {
  Plan plan;
  plan.coverable = findCoverable(fabric, groups, settings);
  LocalizingStager stager(fabric, plan.coverable, settings, classes);
  while (stager.anythingLeft()) {
    // What is left may fit into the stages made so far.
    const size_t made = stager.stages().size();
    for (size_t k = 0; k < made && stager.anythingLeft(); ++k) stager.fill(k, false);
    if (!stager.anythingLeft()) break;
    if (settings.maxStages != 0 && made >= settings.maxStages) break;
    // A new stage: the best of a few tries, as what a greedy stage leaves
    // depends on the order of its sources. When a try finds nothing, only a
    // few pairs are worth anything now: it looks at every one.
    LocalizingStager best = stager;
    const uint32_t tries = plan.coverable.hosts.size() > kManyHosts ? 2 : kTries;
    for (uint32_t trial = 0; trial < tries; ++trial) {
      LocalizingStager t = stager;
      t.reseed(trial);
      if (t.fill(made, false) == 0) t.fill(made, true);
      if (trial == 0 || t.left() < best.left()) best = std::move(t);
    }
    if (best.stages().size() == made) break;
    stager = std::move(best);
    if (onStage) {
      plan.stages = stager.stages();
      countCoverage(fabric, plan.coverable, plan.stages);
      onStage(plan);
    }
  }
  plan.stages = std::move(stager.stages());
  countCoverage(fabric, plan.coverable, plan.stages);
  plan.complete = !stager.coverageLeft();
  return plan;
}
