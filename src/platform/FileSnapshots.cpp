#include "platform/FileSnapshots.h"

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

}  // namespace

timespec FileSnapshots::RealTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

bool FileIdentity::operator==(const FileIdentity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
         changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

std::shared_ptr<FileSnapshot> FileSnapshots::ReadAnew(const std::string& path, std::size_t max_bytes,
                                                      bool& settled, Identity& identity) const {
  const timespec read_start = now_();
  std::shared_ptr<FileSnapshot> snapshot;
  try {
    snapshot = std::make_shared<FileSnapshot>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (!ReadRegularFile(path, max_bytes, snapshot->text, identity)) return nullptr;
  snapshot->real_path = RealPath(path);
  settled = identity.changed.tv_sec < read_start.tv_sec - kSettleSeconds;
  return snapshot;
}

std::shared_ptr<const FileSnapshot> FileSnapshots::Read(const std::string& path, std::size_t max_bytes) {
  Identity now;
  const bool regular = RegularFileIdentity(path, now);
  {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(path);
    if (found != entries_.end()) {
      if (regular && found->second.identity == now) return found->second.snapshot;
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
