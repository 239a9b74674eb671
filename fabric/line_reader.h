// Chunked line scanner shared by the fabric file readers, the small number
// scanners their hand-written line parsers use, and the switch-header forms
// that the forwarding-table and private-table files share.
//
// The file is read with read(2) into one buffer that holds a chunk (1 MiB by
// default) and grows only when a single line does not fit, so memory stays
// flat however large the file is. Lines come out as views into that buffer,
// valid until the next call to next().
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

class LineReader {
 public:
  static constexpr size_t kDefaultChunk = size_t{1} << 20;
  static constexpr size_t kDefaultMaxLine = size_t{64} << 20;

  explicit LineReader(size_t chunk = kDefaultChunk, size_t maxLine = kDefaultMaxLine);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Opens fileName for reading; on failure sets *err to "FILE: problem".
  bool open(const std::string& fileName, std::string* err);
  // Opens only the bytes [begin, end) of fileName, as if they were the whole
  // file, numbering its lines from linesBefore + 1. The parallel readers give
  // each thread a piece of a file this way; a piece that starts and ends at
  // line starts yields exactly the lines, and errors, that reading the whole
  // file would yield there.
  bool openRange(const std::string& fileName, uint64_t begin, uint64_t end, size_t linesBefore,
                 std::string* err);

  // Moves to the next line and returns it without its "\n", "\r" and
  // trailing blanks; a "\r" elsewhere in the line is an error. Returns false at the end of the file
  // or on an error; failed() tells which, and error() then holds "FILE[:LINE]: problem".
  bool next(std::string_view* line) {
    if (pos_ < end_) {
      const char* start = buf_.data() + pos_;
      const char* nl = findNewline(start, buf_.data() + end_);
      if (nl && static_cast<size_t>(nl - buf_.data()) < nul_) {
        pos_ = static_cast<size_t>(nl - buf_.data()) + 1;
        ++line_;
        *line = trimEnd(start, nl);
        return !sawCr_ || noBareCr(*line);
      }
    }
    return slowNext(line);
  }

  // Number of the line last returned by next(), counting from 1.
  size_t lineNumber() const { return line_; }
  // Bytes read so far; 0 after the end of the file means an empty file.
  uint64_t bytesRead() const { return bytesRead_; }
  // Size of the file when it is a regular file, else 0: a hint for sizing.
  uint64_t fileSize() const { return fileSize_; }
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& fileName() const { return fileName_; }

  // "FILE:LINE: problem" for the line last returned, with the truncation
  // hint when it applies.
  std::string lineError(std::string_view problem) const;

  // The line between start and end as next() returns it: without trailing
  // blanks and "\r".
  static std::string_view trimEnd(const char* start, const char* end) {
    while (end > start && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) --end;
    return std::string_view(start, static_cast<size_t>(end - start));
  }

 private:
  // The first "\n" in [p, end), or null. Most lines are short (a table row,
  // a port line of the discovery diagnostic: up to some hundred bytes): a
  // few 16-byte compares in line beat a call to memchr, which takes over for
  // long lines.
  static const char* findNewline(const char* p, const char* end) {
#ifdef __SSE2__
    const __m128i nl = _mm_set1_epi8('\n');
    for (int i = 0; i < 8 && end - p >= 16; ++i, p += 16) {
      __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, nl)));
      if (hits) return p + __builtin_ctz(hits);
    }
#endif
    return static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
  }

  bool slowNext(std::string_view* line);
  // A "\r" left inside a trimmed line is no line end: an error.
  bool noBareCr(std::string_view line);
  // Reads more data after end_; returns bytes read, 0 at end of file, -1 on
  // error (error_ set).
  long fill();

  std::string fileName_;
  int fd_ = -1;
  std::vector<char> buf_;
  size_t chunk_;
  size_t maxLine_;
  size_t pos_ = 0;  // start of the unread data in buf_
  size_t end_ = 0;  // end of the data in buf_
  // Offset in buf_ of the first NUL byte read (kNoNul when none): a line
  // reaching it is binary data, and the scan stops there.
  static constexpr size_t kNoNul = ~size_t{0};
  size_t nul_ = kNoNul;
  bool eof_ = false;
  bool unterminated_ = false;
  bool sawCr_ = false;  // some "\r" was read: lines need the check above
  size_t line_ = 0;
  uint64_t bytesRead_ = 0;
  uint64_t fileSize_ = 0;
  uint64_t bytesLeft_ = ~uint64_t{0};  // what read() may still return (openRange)
  std::string error_;
};

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
    if (v > (max - d) / 10) tooLarge = true;
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

// Pieces shared by the forwarding-table and private-table readers.

class IBFabric;
struct IBNode;

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

struct SwitchHeader {
  uint64_t guid = 0;
  int table = 0;
};

// "any text, then 'Switch 0x' GUID", optionally followed by " PLFT N" when
// allowPlft. Returns false with *problem empty when the line has no
// "Switch 0x" at all, or with *problem set when it has one but is malformed.
bool parseSwitchHeader(std::string_view line, bool allowPlft, SwitchHeader* h,
                       std::string* problem);

// "Unicast lids [...": the switch is the GUID after the first " guid 0x".
// Call only for lines starting with "Unicast lids [".
bool parseUnicastHeader(std::string_view line, SwitchHeader* h, std::string* problem);

// Every node of the fabric by NodeGUID.
std::unordered_map<uint64_t, IBNode*> nodesByGuid(IBFabric& fabric);

// The switch with this NodeGUID; false with *problem naming what is wrong
// (unknown GUID, or not a switch).
bool lookUpSwitch(const std::unordered_map<uint64_t, IBNode*>& byGuid, uint64_t guid, IBNode** sw,
                  std::string* problem);
