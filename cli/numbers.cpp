#include "cli/numbers.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

long readLinkdealNumber(const char* text) {
  return std::strtol(text, nullptr, 10);
}

bool readWholeNumber(const char* text, uint64_t max, uint64_t* value) {
  const char* end = text + std::strlen(text);
  uint64_t v;
  auto [p, ec] = std::from_chars(text, end, v);
  if (ec != std::errc() || p != end || v > max) return false;
  *value = v;
  return true;
}
