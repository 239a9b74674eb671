// The second step of a plan: one stage after another. Each source in turn
// walks the forwarding paths from its first switch depth-first, carrying the
// free destination LIDs, trying uncovered egress ports first and then the
// least loaded, and takes the first free host of another group whose pair
// covers something new.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <span>
#include <vector>

#include "plan/coverage.h"
#include "plan/planner.h"

class StageSearch {
 public:
  // keepDeadLids false walks everything every time, as a check on the rows.
  StageSearch(const PlanRoutes& routes, const Hosts& hosts, const Coverable& c,
              const PlanSettings& settings, bool keepDeadLids = true);

  bool anythingLeft() const { return left_ > 0; }
  StageResult nextStage();

 private:
  // An origin's target LIDs split by the egress port its state gives them,
  // computed once: routes do not change from stage to stage.
  struct OriginLids {
    bool built = false;
    std::vector<uint16_t> lids;
    std::array<uint32_t, 257> start{};
  };

  // One switch of the walk, hops links from the source.
  struct Level {
    uint32_t state = 0;
    bool useful = false;  // the path so far covers something new
    unsigned candidates = 0, next = 0;
    std::array<const IBPort*, 256> candidate{};
    // The carried LIDs, split by egress port: port p's are lids[start[p],
    // start[p+1]). At the source's own first switch they come from
    // fromOrigin instead, filtered one port at a time into lids.
    const OriginLids* fromOrigin = nullptr;
    int32_t ownGroup = -1;
    std::vector<uint16_t> lids;
    std::array<uint32_t, 257> start{};
    std::span<const uint16_t> tried;  // the LIDs carried out of the port tried last
  };

  void findUsefulLids();
  bool addPair(int32_t s, StageResult& result);
  int32_t findDestination(int32_t s, uint16_t& dlid);
  int32_t walk(uint32_t first, uint16_t& dlid);
  bool enterSwitch(const IBPort& in, uint32_t hops, std::span<const uint16_t> carried, bool useful);
  std::span<const uint16_t> lidsThrough(Level& lv, const IBPort& p) const;
  int32_t takeHost(const IBPort& in, uint32_t hops, std::span<const uint16_t> carried, bool useful,
                   uint16_t& dlid);
  Level& level(uint32_t hops);
  bool freeFor(uint16_t lid, int32_t ownGroup) const;
  uint32_t finishHost(int32_t i);
  unsigned candidatesOf(const IBNode& node, std::array<const IBPort*, 256>& out) const;
  const OriginLids& originLids(int32_t o);
  void book(const IBPort* p);
  const uint64_t* deadRow(uint32_t state, bool useful) const {
    return dead_.data() + (size_t{state} * 2 + useful) * deadWords_;
  }
  bool isDead(uint32_t state, bool useful, uint16_t lid) const;
  void markDead(const Level& lv);

  const PlanRoutes& r_;
  const Hosts& h_;
  const Coverable& c_;
  const PlanSettings& settings_;
  std::vector<uint32_t> load_;
  std::vector<uint8_t> covered_;
  std::vector<uint8_t> onPath_;
  std::vector<uint8_t> sent_, received_, done_;
  std::vector<uint32_t> takenInStage_;
  std::vector<OriginLids> originLids_;
  std::deque<Level> levels_;  // by hops; a deque, so that a level stays put as the walk deepens
  std::vector<const IBPort*> path_;  // egress ports of the pair just found, last first
  std::vector<std::vector<uint16_t>> usefulLids_;  // by origin, for sources that have sent
  std::vector<uint32_t> routeStamp_;
  std::vector<uint8_t> routeUseful_;
  // Dead LIDs, per state and per whether the walk arrives there having
  // covered something new: within a stage loads and coverage only grow and
  // a host's LIDs are carried only while it is free, so a LID whose route
  // from a state led to no pair will lead to none for the rest of the stage.
  // Not kept with a minimum distance, where the links walked so far count.
  bool keepDead_ = false;
  size_t deadWords_ = 0;
  std::vector<uint64_t> dead_;
  uint32_t stamp_ = 0;
  bool newReceiverOnly_ = false;
  std::mt19937 rng_{20260101};
  uint32_t stage_ = 0;
  uint64_t left_ = 0;  // coverable ports, sends and receives not yet covered
  uint32_t linksCovered_ = 0, hostsCovered_ = 0;
};
