// Many writers at once: records and trace lines must arrive whole and none
// may be lost, while a reader reports and trims beside them.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "support/TempDir.h"

namespace {

TEST(DiagsConcurrencyTest, WritersReportersAndTrimmersShareTheList) {
  diag::DiagList list(101);
  constexpr int kWriters = 6;
  constexpr int kRecordsEach = 2000;
  std::atomic<bool> writing{true};
  std::thread reporter([&] {
    while (writing.load()) {
      std::vector<std::string> report;
      list.CollectForReport(report);
      EXPECT_EQ(report.size() % 2, 0u);
      if (report.size() % 4 == 0) list.RemoveReported(); else list.Trim(100);
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&list, w] {
      for (int i = 0; i < kRecordsEach; ++i) {
        ASSERT_EQ(list.Add(diag::DiagEntry(104, "w" + std::to_string(w), "ISAPI", i, 0)), 1);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  writing = false;
  reporter.join();
  EXPECT_LE(list.Count(), static_cast<std::size_t>(kWriters * kRecordsEach));
}

TEST(DiagsConcurrencyTest, TraceLinesNeverMixAndCloseStopsWriters) {
  TempDir dir;
  diag::TraceLog log;
  ASSERT_TRUE(log.Open(dir.path() + "debug.txt"));
  constexpr int kWriters = 6;
  constexpr int kLines = 500;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&log, w] {
      for (int i = 0; i < kLines; ++i) {
        log.Write(diag::TraceLog::Prefix::kTimeAndThread, diag::TraceLog::Flush::kYes,
                  "writer %d line %d of a longer text to make interleaving visible\n", w, i);
      }
    });
  }
  std::thread closer([&log] {
    std::this_thread::yield();
    log.Close();
  });
  for (auto& writer : writers) writer.join();
  closer.join();

  std::istringstream text(dir.Read("debug.txt"));
  std::string line;
  int count = 0;
  while (std::getline(text, line)) {
    ++count;
    EXPECT_NE(line.find(" of a longer text to make interleaving visible"), std::string::npos) << line;
    EXPECT_EQ(line.find("writer", line.find("writer") + 1), std::string::npos) << line;
  }
  EXPECT_LE(count, kWriters * kLines);
}

}  // namespace
