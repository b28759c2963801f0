#include "platform/FileSnapshots.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

namespace platform {
namespace {

// Longer than the coarsest time stamps in use (two seconds on some file
// systems) and the lag of the kernel's coarse clock behind ours. Only the
// change time counts: every write, rename, chmod or explicit time stamp moves
// it to the present, which no tool can set back.
constexpr time_t kSettleSeconds = 3;

// Paths come partly from requests (the visitor's language); the map is
// emptied rather than grown past this.
constexpr std::size_t kMaxEntries = 1024;

bool ReadWhole(int fd, std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t count = read(fd, text.data() + done, text.size() - done);
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace

timespec FileSnapshots::RealTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

bool FileSnapshots::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
         changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

FileSnapshots::Identity FileSnapshots::IdentityOf(const struct stat& info) {
  return Identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

std::shared_ptr<FileSnapshot> FileSnapshots::ReadAnew(const std::string& path, std::size_t max_bytes,
                                                      bool& settled, Identity& identity) const {
  const timespec read_start = now_();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat info {};
  std::shared_ptr<FileSnapshot> snapshot;
  // Not a FIFO or a device: those could hang the request thread.
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
      static_cast<unsigned long long>(info.st_size) <= max_bytes) {
    try {
      snapshot = std::make_shared<FileSnapshot>();
      snapshot->text.resize(static_cast<std::size_t>(info.st_size));
    } catch (const std::bad_alloc&) {
      snapshot.reset();
    }
    if (snapshot && !ReadWhole(fd, snapshot->text)) snapshot.reset();
  }
  close(fd);
  if (!snapshot) return nullptr;
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) snapshot->real_path = resolved;
  identity = IdentityOf(info);
  settled = info.st_ctim.tv_sec < read_start.tv_sec - kSettleSeconds;
  return snapshot;
}

std::shared_ptr<const FileSnapshot> FileSnapshots::Read(const std::string& path, std::size_t max_bytes) {
  struct stat info {};
  const bool regular = stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(path);
    if (found != entries_.end()) {
      if (regular && found->second.identity == IdentityOf(info)) return found->second.snapshot;
      entries_.erase(found);
    }
  }
  if (!regular) return nullptr;
  bool settled = false;
  Identity identity;
  auto snapshot = ReadAnew(path, max_bytes, settled, identity);
  if (snapshot && settled) {
    std::lock_guard lock(mutex_);
    if (entries_.size() >= kMaxEntries) entries_.clear();
    entries_.insert_or_assign(path, Entry{identity, snapshot});
  }
  return snapshot;
}

std::shared_ptr<const FileSnapshot> ReadFileSnapshot(const std::string& path, std::size_t max_bytes) {
  // Destroyed with the module, which frees what it holds when the host
  // unloads it.
  static FileSnapshots snapshots;
  return snapshots.Read(path, max_bytes);
}

}  // namespace platform
