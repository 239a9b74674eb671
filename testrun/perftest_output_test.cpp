#include "testrun/perftest_output.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kDashes(87, '-');

// ib_write_bw's closing lines with --report_gbits, the row in its format
// " %-7lu    %-10lu       %-7.2lf            %-7.2lf\t\t   %-7.6lf".
std::string table(const std::string& unit, const std::string& row) {
  return kDashes + "\n #bytes     #iterations    BW peak[" + unit + "]    BW average[" + unit +
         "]   MsgRate[Mpps]\n" + row + "\n" + kDashes + "\n";
}

TEST(PerftestOutput, ResultTableRows) {
  std::string head = "\n************************************\n" + std::string(kServerBanner) +
                     "\n************************************\n" + kDashes +
                     "\n                    RDMA_Write BW Test\n Dual-port       : OFF\t\tDevice  "
                     "       : mlx5_0\n" +
                     kDashes + "\n local address: LID 0x01 QPN 0x0067 PSN 0x3b1a6c\n";
  struct Case {
    std::string output;
    bool found, gbits;
    double average;
  } cases[] = {
      {head +
           table("Gb/sec", " 65536      1069500          0.00               186.89\t\t   0.356470"),
       true, true, 186.89},
      // Below 0.1 the average has six decimals.
      {table("Gb/sec", " 65536      152              0.000000           0.052341\t\t   0.000100"),
       true, true, 0.052341},
      {table("MB/sec", " 65536      1069500          0.00               22278.50\t\t   0.356470"),
       true, false, 22278.50},
      // Cut before the row, a row with a field missing, no separator above.
      {head + kDashes + "\n #bytes     #iterations    BW peak[Gb/sec]    BW average[Gb/sec]\n",
       false, false, 0},
      {table("Gb/sec", " 65536      1069500          0.00"), false, false, 0},
      {table("Gb/sec", " 65536  1 0.00 186.89 0.3").substr(kDashes.size() + 1), false, false, 0},
      {"Couldn't connect to r02n01:18515\n Unable to init the socket connection\n", false, false,
       0},
  };
  for (const Case& c : cases) {
    BandwidthTable t = parseBandwidthTable(c.output);
    EXPECT_EQ(t.found, c.found) << c.output;
    EXPECT_EQ(t.gbits, c.gbits) << c.output;
    if (c.found) {
      EXPECT_DOUBLE_EQ(t.average, c.average) << c.output;
      EXPECT_EQ(t.bytes, 65536u);
    }
  }
  EXPECT_TRUE(isBannerLine("* Waiting for client to connect... *"));
  EXPECT_FALSE(isBannerLine("************************************"));
}

}  // namespace
