// Readers of one path while another thread replaces the file over and over:
// each read is one whole version, never a mix or a freed buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "platform/FileSnapshots.h"
#include "support/TempDir.h"

namespace {

timespec HourAhead() {
  timespec now = platform::FileSnapshots::RealTime();
  now.tv_sec += 3600;
  return now;
}

std::string Version(int number) { return "version " + std::to_string(number) + std::string(200, 'x'); }

TEST(FileSnapshotsConcurrencyTest, ReadersSeeWholeVersionsWhileTheFileIsReplaced) {
  TempDir dir;
  const std::string path = dir.path() + "RAVO.ini";
  std::ofstream(path) << Version(0);
  constexpr int kVersions = 300;
  std::set<std::string> written;
  for (int number = 0; number <= kVersions; ++number) written.insert(Version(number));

  platform::FileSnapshots snapshots(&HourAhead);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0}, reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 8; ++i) {
    readers.emplace_back([&] {
      while (!done.load()) {
        const auto file = snapshots.Read(path, 1 << 20);
        if (file == nullptr || written.count(file->text) == 0) ++bad;
        ++reads;
      }
    });
  }
  for (int number = 1; number <= kVersions; ++number) {
    std::ofstream(path + ".new") << Version(number);
    std::filesystem::rename(path + ".new", path);
  }
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(bad.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(snapshots.Read(path, 1 << 20)->text, Version(kVersions));
}

}  // namespace
