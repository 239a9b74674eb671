// Chunked line scanner shared by the fabric file readers.
//
// The file is read with read(2) into one buffer that holds a chunk (1 MiB by
// default) and grows only when a single line does not fit, so memory stays
// flat however large the file is. Lines come out as views into that buffer,
// valid until the next call to next().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
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
