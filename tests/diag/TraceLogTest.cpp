#include "diag/TraceLog.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/TempDir.h"

namespace {

TEST(TracePrefixTest, SplitsTheCounterIntoSecondsAndMilliseconds) {
  const auto prefix = diag::ComputeTracePrefix(12345678, 1000000);
  EXPECT_EQ(prefix.seconds, 12);
  EXPECT_EQ(prefix.milliseconds, 345);
}

TEST(TracePrefixTest, SurvivesAZeroFrequencyAndMonthsOfUptime) {
  EXPECT_EQ(diag::ComputeTracePrefix(999, 0).seconds, 0);
  // 200 days in nanoseconds: counter * 1000 would overflow 64 bits.
  const std::int64_t counter = 200LL * 86400 * 1'000'000'000 + 987'654'321;
  const auto prefix = diag::ComputeTracePrefix(counter, 1'000'000'000);
  EXPECT_EQ(prefix.seconds, 200 * 86400);
  EXPECT_EQ(prefix.milliseconds, 987);
}

TEST(TraceLogTest, WritesPrefixedLinesAndNothingAfterClose) {
  TempDir dir;
  diag::TraceLog log;
  ASSERT_TRUE(log.Open(dir.path() + "debug.txt"));
  log.Write(diag::TraceLog::Prefix::kTimeAndThread, diag::TraceLog::Flush::kYes, "first %d\n", 1);
  log.Write(diag::TraceLog::Prefix::kThread, diag::TraceLog::Flush::kYes, "second\n");
  log.Write(diag::TraceLog::Prefix::kNone, diag::TraceLog::Flush::kNo, "third\n");
  log.Close();
  log.Write(diag::TraceLog::Prefix::kNone, diag::TraceLog::Flush::kYes, "after close\n");
  EXPECT_FALSE(log.IsOpen());

  const std::string text = dir.Read("debug.txt");
  EXPECT_TRUE(std::regex_match(text, std::regex("[0-9]+\\.[0-9]{3} [0-9A-F]{4,} first 1\n"
                                                "[0-9A-F]{4,} second\nthird\n")))
      << text;
}

TEST(TraceLogTest, AppendsToAnExistingFile) {
  TempDir dir;
  dir.Write("debug.txt", "earlier run\n");
  diag::TraceLog log;
  ASSERT_TRUE(log.Open(dir.path() + "debug.txt"));
  log.Write(diag::TraceLog::Prefix::kNone, diag::TraceLog::Flush::kYes, "this run\n");
  EXPECT_EQ(dir.Read("debug.txt"), "earlier run\nthis run\n");
}

TEST(TraceLogTest, OpenFailsQuietlyWhereNoFileCanBeMade) {
  diag::TraceLog log;
  EXPECT_FALSE(log.Open("/nonexistent-folder/debug.txt"));
  EXPECT_FALSE(log.IsOpen());
  log.Write(diag::TraceLog::Prefix::kNone, diag::TraceLog::Flush::kYes, "dropped\n");
}

}  // namespace
