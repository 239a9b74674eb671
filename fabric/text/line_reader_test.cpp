#include "fabric/text/line_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fabric/text/scan.h"
#include "testing/test_files.h"

namespace {

// Reads every line of path with the given chunk and line cap.
std::vector<std::string> readAll(const std::string& path, size_t chunk, size_t maxLine,
                                 std::string* err) {
  LineReader in(chunk, maxLine);
  std::vector<std::string> lines;
  if (!in.open(path, err)) return lines;
  std::string_view line;
  while (in.next(&line)) {
    lines.emplace_back(line);
    EXPECT_EQ(in.lineNumber(), lines.size());
  }
  if (in.failed()) *err = in.error();
  return lines;
}

// Every byte value at every place of a sixteen-digit GUID: the word-wide
// scanner agrees with the digit-by-digit one.
TEST(NumberScanners, SixteenHexDigitsAgreeWithTheGeneralScanner) {
  const std::string digits = "0123456789abcdeF";
  for (size_t at = 0; at < 16; ++at) {
    for (int c = 0; c < 256; ++c) {
      std::string text = digits;
      text[at] = static_cast<char>(c);
      const char* p = text.data();
      uint64_t slow = 0, fast = 0;
      bool whole = scanHex(&p, text.data() + 16, ~uint64_t{0}, &slow) == NumScan::kOk &&
                   p == text.data() + 16;
      ASSERT_EQ(hex16(text.data(), &fast), whole) << "byte " << c << " at " << at;
      if (whole) {
        ASSERT_EQ(fast, slow) << "byte " << c << " at " << at;
      }
    }
  }
}

TEST(LineReader, StripsLineEndsAndTrailingBlanks) {
  std::string err;
  auto lines =
      readAll(writeTestFile("t", "a\r\nb \t \r\n\n  c\r\n  \nlast  "), 1 << 20, 1 << 20, &err);
  EXPECT_EQ(err, "");
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "", "  c", "", "last"}));
}

// Whatever the chunk size, lines split at chunk borders come out whole: a
// reference split of random text against the scanner with tiny buffers.
TEST(LineReader, ChunkBordersDoNotChangeTheLines) {
  std::mt19937 rng(7);
  for (int round = 0; round < 30; ++round) {
    std::string text;
    std::vector<std::string> want;
    int count = static_cast<int>(rng() % 40);
    for (int i = 0; i < count; ++i) {
      std::string line(rng() % 30, 'x');
      for (char& c : line) c = "ab :#"[rng() % 5];
      while (!line.empty() && (line.back() == ' ')) line.pop_back();
      want.push_back(line);
      text += line + (rng() % 3 ? "\n" : "\r\n");
    }
    if (count > 0 && rng() % 2) text.pop_back();  // sometimes no final newline
    std::string name = "t";
    name += std::to_string(round);
    std::string path = writeTestFile(name, text);
    for (size_t chunk : {1, 2, 3, 7, 64, 4096}) {
      std::string err;
      EXPECT_EQ(readAll(path, chunk, 1 << 20, &err), want)
          << "round " << round << " chunk " << chunk;
      EXPECT_EQ(err, "") << "round " << round << " chunk " << chunk;
    }
  }
}

// A pipe hands data over in small, uneven reads.
TEST(LineReader, ReadsFromAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string longLine(200000, 'p');
  std::string text = "first\n" + longLine + "\r\nlast";
  std::thread writer([&] {
    for (size_t at = 0; at < text.size(); at += 997) {
      size_t n = std::min<size_t>(997, text.size() - at);
      if (write(fds[1], text.data() + at, n) != static_cast<ssize_t>(n)) break;
    }
    close(fds[1]);
  });
  std::string err;
  auto lines = readAll("/proc/self/fd/" + std::to_string(fds[0]), 4096, 1 << 20, &err);
  writer.join();
  close(fds[0]);
  EXPECT_EQ(err, "");
  EXPECT_EQ(lines, (std::vector<std::string>{"first", longLine, "last"}));
}

TEST(LineReader, ReportsNulBytesAndOverlongLinesWithTheirLine) {
  struct {
    const char* name;
    std::string text;
    size_t chunk;
    size_t maxLine;
    size_t linesBefore;
    const char* expected;
  } const cases[] = {
      {"nul", std::string("ok\nok\nbad\0line\nok\n", 19), 4, 100, 2,
       ":3: NUL byte in the line (binary data"},
      {"nul in unterminated last line", std::string("ok\n\0", 4), 1 << 20, 100, 1, ":2: NUL byte"},
      {"long line", "short\n" + std::string(200, 'y') + "\nshort\n", 8, 100, 1,
       ":2: line is longer than 100 bytes"},
      {"a line at the cap passes, one byte more fails",
       std::string(100, 'y') + "\n" + std::string(101, 'z'), 8, 100, 1,
       ":2: line is longer than 100 bytes"},
  };
  for (const auto& c : cases) {
    std::string err;
    auto lines = readAll(writeTestFile("t", c.text), c.chunk, c.maxLine, &err);
    EXPECT_EQ(lines.size(), c.linesBefore) << c.name;
    EXPECT_NE(err.find(c.expected), std::string::npos) << c.name << ": " << err;
  }
}

}  // namespace
