#include "fabric/guid_index.h"

#include <gtest/gtest.h>

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

}  // namespace
