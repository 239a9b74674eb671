#include "testrun/perftest_output.h"

#include <charconv>

namespace {

constexpr size_t kSeparatorDashes = 87;

bool isSeparator(std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
  return line.size() == kSeparatorDashes && line.find_first_not_of('-') == std::string_view::npos;
}

// Cuts the next line off text (without its newline).
std::string_view nextLine(std::string_view* text) {
  size_t nl = text->find('\n');
  std::string_view line = text->substr(0, nl);
  text->remove_prefix(nl == std::string_view::npos ? text->size() : nl + 1);
  return line;
}

// The row's numbers: bytes, iterations, peak, average, message rate.
bool readRow(std::string_view line, double numbers[5]) {
  const char* p = line.data();
  const char* end = p + line.size();
  for (int i = 0; i < 5; ++i) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    auto [next, ec] = std::from_chars(p, end, numbers[i]);
    if (ec != std::errc() || next == p) return false;
    p = next;
  }
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\r')) ++p;
  return p == end;
}

}  // namespace

BandwidthTable parseBandwidthTable(std::string_view output) {
  BandwidthTable table;
  bool afterSeparator = false;
  while (!output.empty()) {
    std::string_view line = nextLine(&output);
    if (isSeparator(line)) {
      afterSeparator = true;
      continue;
    }
    bool header = afterSeparator && line.starts_with(" #bytes");
    afterSeparator = false;
    if (!header) continue;
    bool gbits = line.find("BW average[Gb/sec]") != std::string_view::npos;
    if (!gbits && line.find("BW average[MB/sec]") == std::string_view::npos) continue;
    double numbers[5];
    if (!readRow(nextLine(&output), numbers)) continue;
    table.found = true;
    table.gbits = gbits;
    table.bytes = static_cast<unsigned long>(numbers[0]);
    table.peak = numbers[2];
    table.average = numbers[3];
    return table;
  }
  return table;
}

bool isBannerLine(std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
  return line == kServerBanner;
}
