#include "diag/TraceLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <vector>

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

// Values may come from visitors: their control characters are escaped, so no
// value forges a line of its own; the format's text and everything else stay.
TEST(TraceLogTest, ValuesCannotForgeLinesOrReachTheTerminal) {
  TempDir dir;
  diag::TraceLog log;
  ASSERT_TRUE(log.Open(dir.path() + "debug.txt"));
  struct Row {
    const char* value;
    const char* written;
  };
  for (const Row& row : std::vector<Row>{{"plain text", "plain text"},
                                         {"x\r\nX-Inj: 1", "x\\r\\nX-Inj: 1"},
                                         {"\x1b[31mred\t\x7f", "\\x1B[31mred\\t\\x7F"},
                                         {"caf\xc3\xa9 \\n", "caf\xc3\xa9 \\n"}}) {
    log.Write(diag::TraceLog::Prefix::kNone, diag::TraceLog::Flush::kYes, "id=%s|%c|%5.2s|%08lX|%zu%%\n", row.value,
              '\n', "ab", 0xBEEFUL, std::size_t{7});
    const std::string expected = std::string("id=") + row.written + "|\\n|   ab|0000BEEF|7%\n";
    EXPECT_EQ(dir.Read("debug.txt"), expected) << row.value;
    log.Close();
    std::filesystem::remove(dir.path() + "debug.txt");
    ASSERT_TRUE(log.Open(dir.path() + "debug.txt"));
  }
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
