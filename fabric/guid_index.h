// GUID -> record index for the topology readers' scans: open addressing over
// one flat power-of-two table, probed linearly from a multiplicative hash.
// A fabric's GUIDs share their high bytes (vendor prefix), so the hash takes
// the high bits of the product, where every input bit has mixed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class GuidIndex {
 public:
  static constexpr uint32_t kAbsent = ~uint32_t{0};

  // Sized for about `expected` entries; it grows past that as needed.
  explicit GuidIndex(size_t expected = 0) {
    size_t size = 64;
    while (size < expected * 2) size *= 2;
    resize(size);
  }

  // The index stored for guid, or kAbsent.
  uint32_t find(uint64_t guid) const {
    for (size_t i = slotOf(guid);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.index == kAbsent || s.guid == guid) return s.index;
    }
  }

  // The index stored for guid; when there is none, stores fresh (which must
  // not be kAbsent), sets *added and returns fresh.
  uint32_t findOrAdd(uint64_t guid, uint32_t fresh, bool* added) {
    if ((used_ + 1) * 2 > slots_.size()) resize(slots_.size() * 2);
    for (size_t i = slotOf(guid);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.index == kAbsent) {
        s.guid = guid;
        s.index = fresh;
        ++used_;
        *added = true;
        return fresh;
      }
      if (s.guid == guid) {
        *added = false;
        return s.index;
      }
    }
  }

 private:
  struct Slot {
    uint64_t guid = 0;
    uint32_t index = kAbsent;
  };

  size_t slotOf(uint64_t guid) const {
    return static_cast<size_t>((guid * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void resize(size_t size) {
    std::vector<Slot> old(size);
    old.swap(slots_);
    mask_ = size - 1;
    shift_ = 64;
    for (size_t s = size; s > 1; s /= 2) --shift_;
    for (const Slot& s : old) {
      if (s.index == kAbsent) continue;
      size_t i = slotOf(s.guid);
      while (slots_[i].index != kAbsent) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 64;
  size_t used_ = 0;
};
