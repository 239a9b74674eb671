#include "cli/numbers.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(Numbers, WholeNumbersOnlyUpToTheMaximum) {
  struct Case {
    const char* text;
    uint64_t max;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0", 7, true, 0},
      {"7", 7, true, 7},
      {"007", 7, true, 7},
      {"4294967295", UINT32_MAX, true, UINT32_MAX},
      {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
      {"8", 7, false, 0},
      {"4294967296", UINT32_MAX, false, 0},
      {"18446744073709551616", UINT64_MAX, false, 0},
      {"", 7, false, 0},
      {" 1", 7, false, 0},
      {"+1", 7, false, 0},
      {"-1", 7, false, 0},
      {"1x", 7, false, 0},
      {"0x1", 7, false, 0},
  };
  for (const Case& c : cases) {
    uint64_t value = 99;
    EXPECT_EQ(readWholeNumber(c.text, c.max, &value), c.ok) << "'" << c.text << "'";
    EXPECT_EQ(value, c.ok ? c.value : 99) << "'" << c.text << "'";
  }
}

}  // namespace
