// A file kept in memory must never hide a change on disk from the next read.
#include "platform/FileSnapshots.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
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

// Writes text over the start of the file through a shared mapping, which
// raises no change notice, so that only what follows it can reveal it.
void WriteThroughMapping(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  void* const map = mmap(nullptr, text.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  std::memcpy(map, text.data(), text.size());
  munmap(map, text.size());
  close(fd);
}

// Replaces what the link at link_path leads to, as ln -sfn does.
void PointLink(const std::string& link_path, const std::string& target) {
  std::filesystem::create_symlink(target, link_path + ".new");
  std::filesystem::rename(link_path + ".new", link_path);
}

// The page is site/html/page.htm, read through link/page.htm where a row's
// setup makes link, first leading to site/html.
struct Change {
  const char* name;
  std::function<void(const std::string& dir)> apply;
  std::optional<std::string> expected;
  const char* page = "site/html/page.htm";
  std::function<void(const std::string& dir)> setup = [](const std::string&) {};
  platform::FileSnapshots::Clock clock = &HourAhead;
};

TEST(FileSnapshotsTest, EveryChangeOnDiskIsSeenAtTheNextRead) {
  const std::string page = "site/html/page.htm";
  const auto link_folder = [](const std::string& d) {
    std::filesystem::create_directory_symlink(d + "site/html", d + "link");
  };
  const auto link_file = [](const std::string& d) { std::filesystem::create_symlink(d + "site/html/page.htm", d + "link"); };
  const Change changes[] = {
      {"edited in place", [&](const std::string& d) { WriteInPlace(d + page, "version two, longer"); },
       "version two, longer"},
      {"replaced by a rename over it",
       [&](const std::string& d) {
         WriteInPlace(d + "site/html/new", "version 2");
         std::filesystem::rename(d + "site/html/new", d + page);
       },
       "version 2"},
      {"truncated", [&](const std::string& d) { std::filesystem::resize_file(d + page, 0); }, ""},
      {"written through a mapping, then touched",
       [&](const std::string& d) {
         WriteThroughMapping(d + page, "version 2");
         ASSERT_EQ(utimensat(AT_FDCWD, (d + page).c_str(), nullptr, 0), 0);
       },
       "version 2"},
      {"written through a mapping, then its mode changed",
       [&](const std::string& d) {
         WriteThroughMapping(d + page, "version 2");
         std::filesystem::permissions(d + page, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
       },
       "version 2"},
      {"edited through another name", [&](const std::string& d) { WriteInPlace(d + "site/other", "version 2"); },
       "version 2", "site/html/page.htm",
       [&](const std::string& d) { std::filesystem::create_hard_link(d + page, d + "site/other"); }},
      {"deleted", [&](const std::string& d) { std::filesystem::remove(d + page); }, std::nullopt},
      {"replaced by a folder",
       [&](const std::string& d) {
         std::filesystem::remove(d + page);
         std::filesystem::create_directory(d + page);
       },
       std::nullopt},
      {"its folder renamed away", [&](const std::string& d) { std::filesystem::rename(d + "site/html", d + "old"); },
       std::nullopt},
      {"its folder replaced",
       [&](const std::string& d) {
         std::filesystem::rename(d + "site/html", d + "old");
         std::filesystem::create_directory(d + "site/html");
         WriteInPlace(d + page, "version 2");
       },
       "version 2"},
      {"a folder further up replaced",
       [&](const std::string& d) {
         std::filesystem::rename(d + "site", d + "old");
         std::filesystem::create_directories(d + "site/html");
         WriteInPlace(d + page, "version 2");
       },
       "version 2"},
      {"a folder further up moved over by another",
       [&](const std::string& d) {
         std::filesystem::create_directories(d + "next/html");
         WriteInPlace(d + "next/html/page.htm", "version 2");
         std::filesystem::rename(d + "site", d + "old");
         std::filesystem::rename(d + "next", d + "site");
       },
       "version 2"},
      // Same size and, on coarse time stamps, the same modification time:
      // without notices only the settling rule tells these apart.
      {"edited twice within one second",
       [&](const std::string& d) {
         WriteInPlace(d + page, "version 2");
         WriteInPlace(d + page, "version 3");
       },
       "version 3", "site/html/page.htm", [](const std::string&) {}, &platform::FileSnapshots::RealTime},
      // A link on the way can be pointed elsewhere without a notice.
      {"its folder reached through a link that is pointed elsewhere",
       [&](const std::string& d) {
         WriteInPlace(d + "html2/page.htm", "version 2");
         PointLink(d + "link", d + "html2");
       },
       "version 2", "link/page.htm",
       [&](const std::string& d) {
         link_folder(d);
         std::filesystem::create_directory(d + "html2");
       }},
      {"the file itself a link that is pointed elsewhere",
       [&](const std::string& d) {
         WriteInPlace(d + "site/html/page2.htm", "version 2");
         PointLink(d + "link", d + "site/html/page2.htm");
       },
       "version 2", "link", link_file},
      {"a link to it, the file edited in place", [&](const std::string& d) { WriteInPlace(d + page, "version 2"); },
       "version 2", "link", link_file},
      {"edited in place through a folder link", [&](const std::string& d) { WriteInPlace(d + page, "version 2"); },
       "version 2", "link/page.htm", link_folder},
  };
  // Each read also once in a request's scope of its own, as the module
  // reads: a scope that trusted an earlier scope's look would hide the change.
  for (const bool scoped : {false, true}) {
    for (const Change& change : changes) {
      SCOPED_TRACE(std::string(change.name) + (scoped ? ", scoped" : ""));
      TempDir dir;
      dir.Write(page, "version 1");
      change.setup(dir.path());
      const std::string path = dir.path() + change.page;
      platform::FileSnapshots snapshots(change.clock);
      const auto read = [&] {
        std::optional<platform::FileCheckScope> request;
        if (scoped) request.emplace();
        return TextOf(snapshots.Read(path, kMax));
      };
      ASSERT_EQ(read(), "version 1");
      ASSERT_EQ(read(), "version 1");
      change.apply(dir.path());
      EXPECT_EQ(read(), change.expected);
      // And the read after that agrees, from memory or not.
      EXPECT_EQ(read(), change.expected);
    }
  }
}

TEST(FileSnapshotsTest, AFileAppearingWhereNoneWasIsSeenAtTheNextRead) {
  TempDir dir;
  dir.Write("site/other.htm", "beside");
  const std::string path = dir.path() + "site/page.htm";
  platform::FileSnapshots snapshots(&HourAhead);
  ASSERT_EQ(TextOf(snapshots.Read(dir.path() + "site/other.htm", kMax)), "beside");
  EXPECT_EQ(snapshots.Read(path, kMax), nullptr);
  WriteInPlace(dir.path() + "site/new", "arrived");
  std::filesystem::rename(dir.path() + "site/new", path);
  EXPECT_EQ(TextOf(snapshots.Read(path, kMax)), "arrived");
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
  // The same file, unchanged, moved with its folder and reached anew.
  std::filesystem::rename(dir.path() + "real", dir.path() + "moved");
  PointLink(dir.path() + "link", dir.path() + "moved");
  const auto moved = snapshots.Read(dir.path() + "link/page.htm", kMax);
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(moved->real_path, std::filesystem::canonical(dir.path() + "moved/page.htm").string());
}

}  // namespace
