#include "fabric/guid_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// GUIDs of one vendor differ in their low bytes only; the table must keep
// every one through its growth from the smallest size.
TEST(GuidIndex, FindsEveryGuidThroughGrowth) {
  GuidIndex index;
  std::vector<uint64_t> guids;
  auto guidOf = [&](uint32_t i) { return guids[i]; };
  constexpr uint32_t kCount = 5000;
  auto guid = [](uint32_t i) { return 0x0c42a10300000000ull | (uint64_t{i} << 8); };
  for (uint32_t i = 0; i < kCount; ++i) {
    bool added = false;
    EXPECT_EQ(index.findOrAdd(guid(i), i, guidOf, &added), i);
    EXPECT_TRUE(added);
    guids.push_back(guid(i));
  }
  bool added = true;
  EXPECT_EQ(index.findOrAdd(guid(7), 99999, guidOf, &added), 7u);
  EXPECT_FALSE(added);
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(index.find(guid(i), guidOf), i);
  EXPECT_EQ(index.find(guid(kCount), guidOf), GuidIndex::kAbsent);
  EXPECT_EQ(index.find(0, guidOf), GuidIndex::kAbsent);
  EXPECT_EQ(index.findOrAdd(0, kCount, guidOf, &added), kCount);
  guids.push_back(0);
  EXPECT_EQ(index.find(0, guidOf), kCount);
}

// Keys chosen so that a fixed multiplicative hash sends them all to one
// slot (multiples of the inverse of its multiplier), and keys that share
// every low bit, as an identity hash modulo a power of two would bucket
// them: the keyed mix must still spread both over the table's top bits.
TEST(GuidHash, SpreadsKeysCraftedAgainstFixedHashes) {
  uint64_t inverse = 0x9E3779B97F4A7C15ull;  // Newton's iteration for the inverse mod 2^64
  for (int i = 0; i < 5; ++i) inverse *= 2 - 0x9E3779B97F4A7C15ull * inverse;
  ASSERT_EQ(inverse * 0x9E3779B97F4A7C15ull, 1u);
  constexpr uint32_t kKeys = 4096;
  for (int form = 0; form < 2; ++form) {
    std::vector<uint16_t> top;
    for (uint64_t i = 1; i <= kKeys; ++i)
      top.push_back(static_cast<uint16_t>(guidHash(form == 0 ? i * inverse : i << 32) >> 48));
    std::sort(top.begin(), top.end());
    size_t distinct = static_cast<size_t>(std::unique(top.begin(), top.end()) - top.begin());
    // 4096 random values among 65536 are about 3970 distinct.
    EXPECT_GT(distinct, 3800u) << form;
  }
}

}  // namespace
