// A file kept in memory must never hide a change on disk from the next read.
#include "platform/FileSnapshots.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "support/TempDir.h"

namespace {

constexpr std::size_t kMax = 1 << 20;

// A clock an hour ahead makes every file look settled, so that what is read
// again comes from memory whenever stat() allows it.
timespec HourAhead() {
  timespec now = platform::FileSnapshots::RealTime();
  now.tv_sec += 3600;
  return now;
}

void WriteInPlace(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::optional<std::string> TextOf(const std::shared_ptr<const platform::FileSnapshot>& file) {
  return file ? std::optional<std::string>(file->text) : std::nullopt;
}

struct Change {
  const char* name;
  platform::FileSnapshots::Clock clock;
  std::function<void(const std::string& path)> apply;
  std::optional<std::string> expected;
};

TEST(FileSnapshotsTest, EveryChangeOnDiskIsSeenAtTheNextRead) {
  const Change changes[] = {
      {"edited in place", &HourAhead, [](const std::string& p) { WriteInPlace(p, "version two, longer"); },
       "version two, longer"},
      {"replaced by a rename over it", &HourAhead,
       [](const std::string& p) {
         WriteInPlace(p + ".new", "version 2");
         std::filesystem::rename(p + ".new", p);
       },
       "version 2"},
      {"truncated", &HourAhead, [](const std::string& p) { std::filesystem::resize_file(p, 0); }, ""},
      {"deleted", &HourAhead, [](const std::string& p) { std::filesystem::remove(p); }, std::nullopt},
      {"replaced by a folder", &HourAhead,
       [](const std::string& p) {
         std::filesystem::remove(p);
         std::filesystem::create_directory(p);
       },
       std::nullopt},
      // Same size and, on coarse time stamps, the same modification time:
      // only the settling rule tells these apart.
      {"edited twice within one second", &platform::FileSnapshots::RealTime,
       [](const std::string& p) {
         WriteInPlace(p, "version 2");
         WriteInPlace(p, "version 3");
       },
       "version 3"},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    TempDir dir;
    const std::string path = dir.path() + "page.htm";
    WriteInPlace(path, "version 1");
    platform::FileSnapshots snapshots(change.clock);
    ASSERT_EQ(TextOf(snapshots.Read(path, kMax)), "version 1");
    ASSERT_EQ(TextOf(snapshots.Read(path, kMax)), "version 1");
    change.apply(path);
    EXPECT_EQ(TextOf(snapshots.Read(path, kMax)), change.expected);
    // And the read after that agrees, from memory or not.
    EXPECT_EQ(TextOf(snapshots.Read(path, kMax)), change.expected);
  }
}

TEST(FileSnapshotsTest, RefusesWhatIsNotASmallRegularFile) {
  TempDir dir;
  platform::FileSnapshots snapshots(&HourAhead);
  ASSERT_EQ(mkfifo((dir.path() + "fifo").c_str(), 0600), 0);
  EXPECT_EQ(snapshots.Read(dir.path() + "fifo", kMax), nullptr) << "and does not hang on a FIFO";
  WriteInPlace(dir.path() + "big", std::string(100, 'x'));
  EXPECT_EQ(snapshots.Read(dir.path() + "big", 99), nullptr);
  EXPECT_EQ(snapshots.Read(dir.path() + "missing", kMax), nullptr);
}

TEST(FileSnapshotsTest, KeepsWhereALinkLeadsWithTheBytes) {
  TempDir dir;
  dir.Write("real/page.htm", "inside");
  std::filesystem::create_directory_symlink(dir.path() + "real", dir.path() + "link");
  platform::FileSnapshots snapshots(&HourAhead);
  const auto file = snapshots.Read(dir.path() + "link/page.htm", kMax);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->real_path, std::filesystem::canonical(dir.path() + "real/page.htm").string());
}

}  // namespace
