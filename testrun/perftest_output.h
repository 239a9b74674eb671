// What ib_write_bw prints: the banner of a listening server and the result
// table both sides print at the end of a test.
#pragma once

#include <string_view>

// A server prints this line once it listens for its client.
inline constexpr std::string_view kServerBanner = "* Waiting for client to connect... *";

struct BandwidthTable {
  bool found = false;  // a complete table: separator, header, one row
  bool gbits = false;  // the header says Gb/sec (--report_gbits), else MB/sec
  double peak = 0;     // BW peak, in the header's unit
  double average = 0;  // BW average, in the header's unit
  unsigned long bytes = 0;
};

// The first result table in the output: a line of 87 dashes, the
// " #bytes ... BW average[...] ..." header and the row under it.
BandwidthTable parseBandwidthTable(std::string_view output);

// line (without its newline) is the server's banner.
bool isBannerLine(std::string_view line);
