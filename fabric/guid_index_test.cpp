#include "fabric/guid_index.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// GUIDs of one vendor differ in their low bytes only; the table must keep
// every one through its growth from the smallest size.
TEST(GuidIndex, FindsEveryGuidThroughGrowth) {
  GuidIndex index;
  constexpr uint32_t kCount = 5000;
  auto guid = [](uint32_t i) { return 0x0c42a10300000000ull | (uint64_t{i} << 8); };
  for (uint32_t i = 0; i < kCount; ++i) {
    bool added = false;
    EXPECT_EQ(index.findOrAdd(guid(i), i, &added), i);
    EXPECT_TRUE(added);
  }
  bool added = true;
  EXPECT_EQ(index.findOrAdd(guid(7), 99999, &added), 7u);
  EXPECT_FALSE(added);
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(index.find(guid(i)), i);
  EXPECT_EQ(index.find(guid(kCount)), GuidIndex::kAbsent);
  EXPECT_EQ(index.find(0), GuidIndex::kAbsent);
  EXPECT_EQ(index.findOrAdd(0, kCount, &added), kCount);
  EXPECT_EQ(index.find(0), kCount);
}

}  // namespace
