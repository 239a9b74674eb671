// GUID -> record index for the topology readers' scans: open addressing over
// one flat power-of-two table of record indices, probed linearly from a
// keyed hash. The table holds indices only (the GUIDs stay in the caller's
// records, which a lookup reads next anyway), so it stays small enough to
// sit in cache.
//
// GUIDs come from files anyone can write: a fixed hash would let a crafted
// file put every GUID on one probe run and make reading quadratic. The mix
// is therefore keyed with a seed drawn once per process; lookups answer the
// same whatever the seed, so results stay deterministic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

// A 64-bit bijective mix of key and this process's seed: every bit of the
// result depends on every bit of the key, and which keys collide depends on
// the seed.
uint64_t guidHash(uint64_t key);

// For the standard containers keyed by GUID.
struct GuidHash {
  size_t operator()(uint64_t guid) const { return static_cast<size_t>(guidHash(guid)); }
};
template <class T>
using GuidMap = std::unordered_map<uint64_t, T, GuidHash>;

class GuidIndex {
 public:
  static constexpr uint32_t kAbsent = ~uint32_t{0};

  // Keys are GUIDs, or (kNodePorts) a record index of ours shifted left by 8
  // bits with a port number below: record indices are not the file's to
  // choose, so those keys are spread by the record index alone and a node's
  // ports sit side by side, in the cache lines one line's lookups touch.
  enum Keys { kGuids, kNodePorts };

  // Sized for about `expected` entries; it grows past that as needed.
  explicit GuidIndex(size_t expected = 0, Keys keys = kGuids) : keys_(keys) {
    size_t size = 64;
    while (size < expected * kSpread) size *= 2;
    setSize(size);
  }

  // The index stored for guid, or kAbsent; guidOf(i) is the GUID of index i.
  template <class GuidOf>
  uint32_t find(uint64_t guid, const GuidOf& guidOf) const {
    for (size_t i = slotOf(guid);; i = (i + 1) & mask_) {
      uint32_t at = slots_[i];
      if (at == kAbsent || guidOf(at) == guid) return at;
    }
  }

  // The index stored for guid; when there is none, stores fresh (which must
  // not be kAbsent), sets *added and returns fresh. guidOf must answer for
  // every index stored before.
  template <class GuidOf>
  uint32_t findOrAdd(uint64_t guid, uint32_t fresh, const GuidOf& guidOf, bool* added) {
    if ((used_ + 1) * kSpread > slots_.size()) grow(guidOf);
    for (size_t i = slotOf(guid);; i = (i + 1) & mask_) {
      uint32_t at = slots_[i];
      if (at == kAbsent) {
        slots_[i] = fresh;
        ++used_;
        *added = true;
        return fresh;
      }
      if (guidOf(at) == guid) {
        *added = false;
        return at;
      }
    }
  }

 private:
  // At most one slot in kSpread is used: short probe runs.
  static constexpr size_t kSpread = 4;

  size_t slotOf(uint64_t key) const {
    if (keys_ == kGuids) return static_cast<size_t>(guidHash(key) >> shift_);
    return static_cast<size_t>(((key >> 8) * 0x9E3779B97F4A7C15ull >> shift_) + (key & 0xff)) &
           mask_;
  }

  void setSize(size_t size) {
    slots_.assign(size, kAbsent);
    mask_ = size - 1;
    shift_ = 64;
    for (size_t s = size; s > 1; s /= 2) --shift_;
  }

  template <class GuidOf>
  void grow(const GuidOf& guidOf) {
    std::vector<uint32_t> old = std::move(slots_);
    setSize(old.size() * 2);
    for (uint32_t at : old) {
      if (at == kAbsent) continue;
      size_t i = slotOf(guidOf(at));
      while (slots_[i] != kAbsent) i = (i + 1) & mask_;
      slots_[i] = at;
    }
  }

  Keys keys_ = kGuids;
  std::vector<uint32_t> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 64;
  size_t used_ = 0;
};
