// The small scanners the hand-written line parsers share: numbers, blanks,
// words, and text quoted back in messages. They know nothing of the fabric.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

// Result of scanning one number.
enum class NumScan { kOk, kNoDigits, kTooLarge };

// Value of each hexadecimal digit (any case), -1 for every other byte: for
// scanners that read a fixed number of digits without a loop.
inline constexpr auto kHexValue = [] {
  std::array<int8_t, 256> v{};
  for (int c = 0; c < 256; ++c) v[c] = -1;
  for (int c = '0'; c <= '9'; ++c) v[c] = static_cast<int8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) v[c] = v[c - 32] = static_cast<int8_t>(c - 'a' + 10);
  return v;
}();

// Scans hexadecimal digits (any case, any count) at *p, stopping at the first
// other character or at end; the value must not exceed max. Moves *p past the
// digits.
inline NumScan scanHex(const char** p, const char* end, uint64_t max, uint64_t* value) {
  const char* s = *p;
  uint64_t v = 0;
  bool tooLarge = false;
  for (; s < end; ++s) {
    unsigned c = static_cast<unsigned char>(*s);
    unsigned d;
    if (c - '0' < 10) {
      d = c - '0';
    } else if ((c | 0x20) - 'a' < 6) {
      d = (c | 0x20) - 'a' + 10;
    } else {
      break;
    }
    if (v > (max >> 4) || (v << 4 | d) > max) tooLarge = true;
    if (!tooLarge) v = v << 4 | d;
  }
  if (s == *p) return NumScan::kNoDigits;
  *p = s;
  *value = v;
  return tooLarge ? NumScan::kTooLarge : NumScan::kOk;
}

// Same for decimal digits (leading zeros allowed: "011" is eleven).
inline NumScan scanDec(const char** p, const char* end, uint64_t max, uint64_t* value) {
  const char* s = *p;
  uint64_t v = 0;
  bool tooLarge = false;
  for (; s < end && static_cast<unsigned>(*s - '0') < 10; ++s) {
    unsigned d = static_cast<unsigned>(*s - '0');
    // d > max first: max - d would wrap for a field whose maximum is below 9.
    if (d > max || v > (max - d) / 10) tooLarge = true;
    if (!tooLarge) v = v * 10 + d;
  }
  if (s == *p) return NumScan::kNoDigits;
  *p = s;
  *value = v;
  return tooLarge ? NumScan::kTooLarge : NumScan::kOk;
}

// The value of eight hexadecimal digits loaded from memory (the first digit
// in the lowest byte), or false when some byte is no hexadecimal digit:
// every byte is checked and converted at once.
[[gnu::always_inline]] inline bool hex8(uint64_t x, uint32_t* v) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = kOnes * 0x80;
  if (x & kHigh) return false;
  // With every byte below 0x80, adding to all bytes carries into no other.
  auto atLeast = [](uint64_t y, unsigned lo) { return (y + kOnes * (0x80 - lo)) & kHigh; };
  auto atMost = [](uint64_t y, unsigned hi) { return ~(y + kOnes * (0x7F - hi)) & kHigh; };
  const uint64_t folded = x | kOnes * 0x20;  // 'A'-'F' as 'a'-'f'
  const uint64_t digit = atLeast(x, '0') & atMost(x, '9');
  const uint64_t letter = atLeast(folded, 'a') & atMost(folded, 'f');
  if ((digit | letter) != kHigh) return false;
  uint64_t d = (x & kOnes * 0x0F) + (letter >> 7) * 9;
  // Byte k now holds the digit of weight 16^(7-k): reverse, then pack.
  d = __builtin_bswap64(d);
  d = (d | d >> 4) & 0x00FF00FF00FF00FFull;
  d = (d | d >> 8) & 0x0000FFFF0000FFFFull;
  d = (d | d >> 16) & 0x00000000FFFFFFFFull;
  *v = static_cast<uint32_t>(d);
  return true;
}

// Exactly sixteen hexadecimal digits at p (16 bytes must be there), as the
// diagnostics print GUIDs; false when some byte is no digit.
[[gnu::always_inline]] inline bool hex16(const char* p, uint64_t* v) {
  if constexpr (std::endian::native != std::endian::little) return false;
  uint64_t a, b;
  std::memcpy(&a, p, 8);
  std::memcpy(&b, p + 8, 8);
  uint32_t hi, lo;
  if (!hex8(a, &hi) || !hex8(b, &lo)) return false;
  *v = uint64_t{hi} << 32 | lo;
  return true;
}

inline bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// True for lines the readers skip: empty, blank, or a "#" comment.
inline bool isBlankOrComment(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && isBlank(line[i])) ++i;
  return i == line.size() || line[i] == '#';
}

// Text from the input as error messages quote it: cut after about 200 bytes
// (at a character boundary) with "..." added, so that a huge field never
// makes a huge message.
std::string echoText(std::string_view text);

// True when line, split at runs of blanks, is exactly the given words: used
// for column headings, whose spacing differs between tools.
bool hasWords(std::string_view line, std::initializer_list<std::string_view> words);

// Skips " : " (one or more blanks on each side of the colon).
inline bool skipColon(const char** p, const char* end) {
  const char* s = *p;
  if (s == end || !isBlank(*s)) return false;
  while (s < end && isBlank(*s)) ++s;
  if (s == end || *s != ':') return false;
  ++s;
  if (s == end || !isBlank(*s)) return false;
  while (s < end && isBlank(*s)) ++s;
  *p = s;
  return true;
}
