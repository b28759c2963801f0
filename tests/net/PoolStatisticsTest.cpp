#include "net/PoolStatistics.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(PoolStatisticsTest, FreshBlockLayout) {
  const PoolStatisticsBlock block = PoolStatistics().Snapshot();
  unsigned char bytes[64];
  std::memcpy(bytes, &block, sizeof bytes);
  for (int i = 0; i < 52; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(bytes[52] | bytes[53] << 8, 10000) << "min available at offset 52";
  for (int i = 54; i < 64; ++i) EXPECT_EQ(bytes[i], 0) << i;
}

TEST(PoolStatisticsTest, ReportOfTheWorkedExample) {
  PoolStatistics statistics;
  statistics.RecordWait(300);
  statistics.RecordWait(500);
  for (int i = 0; i < 10; ++i) statistics.RecordRetrieval(i + 1, 5);
  for (int i = 0; i < 9; ++i) statistics.RecordReturn(1, 2);
  statistics.RecordBrokenReturn(0, 3);
  const auto block = statistics.Snapshot();
  EXPECT_EQ(block.retrieved, 10);
  EXPECT_EQ(block.maxInUse, 10);
  EXPECT_EQ(block.minAvailable, 2);
  EXPECT_GT(block.firstTime, 0);
  const std::string report = FormatPoolStatisticsReport(block);
  EXPECT_EQ(report.substr(0, 55), "\nRegular Socket Pool Statistics\n----------------------\n");
  EXPECT_NE(report.find("  Number of sockets retrieved:                 10\n"), std::string::npos) << report;
  EXPECT_NE(report.find("  Number of sockets returned:                   9\n"), std::string::npos);
  EXPECT_NE(report.find("  Number of sockets returned broken:            1 ( 10.0%)\n"), std::string::npos);
  EXPECT_NE(report.find("  Number of waits for socket:                   2 ( 20.0%)\n"), std::string::npos);
  EXPECT_NE(report.find("  Average wait time (all gets)                 80 millis\n"), std::string::npos);
  EXPECT_NE(report.find("  Average wait time (waiting gets only)       400 millis\n"), std::string::npos);
  EXPECT_NE(report.find("  Max sockets in use:                          10\n"), std::string::npos);
}

TEST(PoolStatisticsTest, EmptyPoolReportDividesByNothing) {
  const std::string report = FormatPoolStatisticsReport(PoolStatistics().Snapshot());
  EXPECT_NE(report.find("returned broken:            0 (  0.0%)"), std::string::npos) << report;
  EXPECT_NE(report.find("  Min sockets available:                    10000\n"), std::string::npos);
  EXPECT_NE(report.find("  Total run time:                               0 seconds\n"), std::string::npos);
}

}  // namespace
