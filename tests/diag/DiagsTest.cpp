#include "diag/Diags.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

using diag::DiagEntry;
using diag::DiagList;

std::int64_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&fields));
}

DiagEntry Entry(int level, const std::string& text) { return DiagEntry(level, text, "ISAPI", 1, 0); }

std::vector<std::string> Texts(const DiagList& list) {
  std::vector<std::string> texts;
  for (const auto& entry : list.Snapshot()) texts.push_back(entry.text);
  return texts;
}

TEST(DiagEntryTest, TextFormShowsLocalTimeTextComponentAndLine) {
  const DiagEntry entry(diag::kLevelSevr, "Diag Report Failed", ".\\Diags", 524,
                        LocalTime(2026, 12, 7, 14, 5, 9));
  EXPECT_EQ(entry.TextForm(), "Monday, December 07, 2026 - 14:05:09 ::Diag Report Failed::Diags::524");
  EXPECT_EQ(entry.LevelName(), "SEVR");
}

TEST(DiagEntryTest, LevelsOutsideTheKnownRangeBecomeInvalid) {
  EXPECT_EQ(Entry(108, "x").level, diag::kLevelInvalid);
  EXPECT_EQ(Entry(-5, "x").level, diag::kLevelInvalid);
  EXPECT_EQ(Entry(107, "x").level, 107);
  EXPECT_EQ(Entry(diag::kLevelInvalid, "x").LevelName(), "INFO");
  EXPECT_EQ(Entry(diag::kLevelFenx, "x").LevelName(), "FENX");
  EXPECT_EQ(DiagEntry(104, "t", "src/RAVO", 1, 0).component, "RAVO");
}

TEST(DiagListTest, KeepsOnlyRecordsAtOrAboveTheThreshold) {
  DiagList list(104);
  EXPECT_EQ(list.Add(Entry(diag::kLevelFenx, "entering")), diag::kDiagBelowThreshold);
  EXPECT_EQ(list.Add(Entry(diag::kLevelSevr, "failed")), diag::kDiagAdded);
  EXPECT_EQ(list.Add(Entry(200, "invalid")), diag::kDiagBelowThreshold);
  EXPECT_EQ(Texts(list), std::vector<std::string>{"failed"});
}

TEST(DiagListTest, RemovingReportedKeepsRecordsAddedDuringTheReport) {
  DiagList list(101);
  ASSERT_EQ(list.Add(Entry(104, "a")), 1);
  ASSERT_EQ(list.Add(Entry(105, "b")), 1);
  std::vector<std::string> report;
  list.CollectForReport(report);
  ASSERT_EQ(report.size(), 4u);
  EXPECT_EQ(report[0], "INFO");
  EXPECT_EQ(report[2], "WARN");
  EXPECT_NE(report[3].find("::b::ISAPI::1"), std::string::npos);
  ASSERT_EQ(list.Add(Entry(106, "meanwhile")), 1);
  list.RemoveReported();
  EXPECT_EQ(Texts(list), std::vector<std::string>{"meanwhile"});
}

TEST(DiagListTest, TrimAfterRefusedReportKeepsTheNewestBehindANotice) {
  DiagList list(101);
  for (int i = 1; i <= 8; ++i) ASSERT_EQ(list.Add(Entry(104, "r" + std::to_string(i))), 1);
  std::vector<std::string> report;
  list.CollectForReport(report);
  ASSERT_EQ(list.Add(Entry(106, "Diag Report Failed")), 1);
  list.Trim(5);

  const auto entries = list.Snapshot();
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].text, diag::kTrimNotice);
  EXPECT_EQ(entries[0].level, diag::kLevelWarn);
  EXPECT_EQ(entries[0].component, "Diags");
  EXPECT_EQ(entries[0].line, 339);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{std::string(diag::kTrimNotice), "r6", "r7", "r8",
                                                   "Diag Report Failed"}));
  for (const auto& entry : entries) EXPECT_FALSE(entry.reported) << entry.text;
}

TEST(DiagListTest, TrimWithinTheLimitOnlyMakesRecordsReportableAgain) {
  DiagList list(101);
  ASSERT_EQ(list.Add(Entry(104, "a")), 1);
  std::vector<std::string> report;
  list.CollectForReport(report);
  list.Trim(5);
  ASSERT_EQ(list.Count(), 1u);
  list.RemoveReported();
  EXPECT_EQ(list.Count(), 1u) << "a trimmed record must be reported again, not dropped";
}

TEST(DiagListTest, HardLimitDropsTheOldestRecords) {
  DiagList list(101, 3);
  for (int i = 1; i <= 5; ++i) ASSERT_EQ(list.Add(Entry(104, std::to_string(i))), 1);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"3", "4", "5"}));
}

TEST(DiagListTest, DumpWritesEveryRecordThenARule) {
  DiagList list(101);
  ASSERT_EQ(list.Add(DiagEntry(104, "started", "ISAPI", 7, LocalTime(2026, 12, 7, 1, 2, 3))), 1);
  std::vector<std::string> lines;
  list.Dump([&](std::string_view line) { lines.emplace_back(line); });
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Monday, December 07, 2026 - 01:02:03 ::started::ISAPI::7\n");
  EXPECT_EQ(lines[1], "-----------------------\n");
}

TEST(AddDiagTest, RecordsOnlyWhileEnabledAndAListExists) {
  diag::InstallDiagList(nullptr);
  diag::SetDiagEnabled(true);
  EXPECT_EQ(diag::AddDiag(104, "no list", "ISAPI", 1), 0);
  auto list = std::make_shared<DiagList>(101);
  diag::InstallDiagList(list);
  EXPECT_EQ(diag::AddDiag(104, "kept", "ISAPI", 1), 1);
  EXPECT_EQ(diag::AddDiag(50, "below threshold", "ISAPI", 1), 1) << "acceptance is not reported";
  diag::SetDiagEnabled(false);
  EXPECT_EQ(diag::AddDiag(104, "disabled", "ISAPI", 1), 0);
  EXPECT_EQ(Texts(*list), std::vector<std::string>{"kept"});
  diag::InstallDiagList(nullptr);
}

}  // namespace
