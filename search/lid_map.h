// Which group owns each LID of a grouped host port, and the switch-port flow
// counters that the destination search books flows on.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fabric/fabric.h"
#include "grouping/port_groups.h"

// Number of LIDs a port owns for a given LMC. Counted in 32 bits; values of 16
// and more are capped at the whole LID space so the count never overflows.
inline uint32_t lidsPerPort(uint16_t lmc) {
  return uint32_t{1} << (lmc < 16 ? lmc : 16);
}

// LID -> group of the ports still free as destinations, and the port that
// owns each LID. Held flat, indexed by LID, with an unordered list of the
// present LIDs so the search can walk exactly the free ones and a LID can
// leave in O(1). Also knows, by port, which grouped ports are still free: a
// walk's LIDs alone cannot tell, since LID ranges may overlap.
class LidGroupMap {
 public:
  static constexpr int32_t kAbsent = -1;

  LidGroupMap();

  // Index of a group name, adding it when new.
  int32_t internGroup(const std::string& name);
  // Index of a group name, or kAbsent when no LID was ever given to it.
  int32_t findGroup(std::string_view name) const;
  const std::string& groupName(int32_t group) const { return groupNames_[group]; }

  // Gives lid to port owner of group, inserting it or overwriting its owner;
  // the owner (when not null) counts as a free port of that group.
  void set(uint16_t lid, int32_t group, const IBPort* owner);
  void erase(uint16_t lid);

  // The group of a grouped port not yet taken as a destination, or kAbsent.
  int32_t freeGroupOf(const IBPort& port) const {
    auto it = freePorts_.find(&port);
    return it == freePorts_.end() ? kAbsent : it->second;
  }
  // port becomes a destination: it is no longer free, and the LIDs of its
  // range (lidCount from its base LID) that it owns leave the map.
  void take(const IBPort& port, uint32_t lidCount);

  // Changes whenever a LID is added or changes owner (not when one leaves):
  // distinct for every map and state, so caches of the free LIDs can tell
  // whether they may have missed one.
  uint64_t stamp() const { return stamp_; }
  // Free LIDs owned by a group.
  size_t groupSize(int32_t group) const {
    return group == kAbsent ? 0 : groupSizes_[static_cast<size_t>(group)];
  }

  bool contains(uint16_t lid) const { return groupOfLid_[lid] != kAbsent; }
  // Group index of lid, or kAbsent.
  int32_t groupOf(uint16_t lid) const { return groupOfLid_[lid]; }
  size_t size() const { return freeLids_.size(); }
  // Present LIDs in no particular order.
  const std::vector<uint16_t>& lids() const { return freeLids_; }
  // (LID, group name) in ascending LID order.
  std::vector<std::pair<uint16_t, std::string>> ordered() const;

 private:
  std::vector<int32_t> groupOfLid_;        // 2^16 entries
  std::vector<uint32_t> posOfLid_;         // index in freeLids_ of a present LID
  std::vector<const IBPort*> ownerOfLid_;  // 2^16 entries
  std::unordered_map<const IBPort*, int32_t> freePorts_;
  std::vector<uint16_t> freeLids_;
  std::vector<std::string> groupNames_;
  std::vector<size_t> groupSizes_;
  uint64_t stamp_;
  std::map<std::string, int32_t, std::less<>> groupIndex_;
};

// Sets flowCount to 0 on every existing port of every switch. Returns 0.
int clearSwitchPortCounters(IBFabric& fabric);

// Maps every LID of every grouped port to its group, groups in name order and
// ports in set order, later entries overwriting earlier ones. A port without a
// LID fails: returns false with *err set to the "-E-" line (no newline).
bool buildLidGroupMap(const PortGroups& groups, uint16_t lmc, LidGroupMap& lidMap,
                      std::string* err);

// What is odd about the grouped ports' LID ranges, one "-W-" line (no
// newline) per problem, ports in base-LID order: a base LID that is not a
// multiple of the range's size, ranges of two ports that overlap, and two
// ports with the same base LID. Each kind stops after a few lines and a
// count of the rest. Such LIDs are legal, but the pairs found over them may
// be fewer than the fabric allows.
std::vector<std::string> lidRangeWarnings(const PortGroups& groups, uint16_t lmc);
