#include "platform/FileSnapshots.h"

#include <algorithm>
#include <atomic>

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

// Zero is no FileSnapshots.
std::atomic<std::uint64_t> last_serial{0};

// A plain pointer: the module is loaded with dlopen, and a thread_local with
// a destructor would keep it from being unloaded.
thread_local FileCheckScope* t_scope = nullptr;

}  // namespace

FileCheckScope::FileCheckScope() : outer_(t_scope) { t_scope = this; }

FileCheckScope::~FileCheckScope() { t_scope = outer_; }

bool FileCheckScope::Looked(std::uint64_t serial) {
  FileCheckScope* const scope = t_scope;
  if (scope == nullptr) return false;
  for (std::uint64_t& looked : scope->looked_) {
    if (looked == serial) return true;
    if (looked == 0) {
      looked = serial;
      return false;
    }
  }
  return false;
}

FileSnapshots::FileSnapshots(Clock now) : serial_(last_serial.fetch_add(1, std::memory_order_relaxed) + 1), now_(now) {}

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

void FileSnapshots::Drop(Entries::iterator entry) {
  if (entry->second.watched) watches_.Forget(entry->first);
  entries_.erase(entry);
}

// Called under the lock at every read: no thread may trust a kept file while
// another has taken a notice about it and not yet dropped it.
void FileSnapshots::TakeChanges() {
  changed_.clear();
  bool all = false;
  watches_.TakeChanges(changed_, all);
  if (all) std::erase_if(entries_, [](const auto& entry) { return entry.second.watched; });
  for (const std::string& path : changed_) entries_.erase(path);
}

void FileSnapshots::TakeChangesOncePerScope() {
  if (!FileCheckScope::Looked(serial_)) TakeChanges();
}

// Watches path before it is read, so that a change made while it is read
// drops the read's claim. Zero when path is not watched.
std::uint64_t FileSnapshots::StartReading(const std::string& path) {
  std::lock_guard lock(mutex_);
  TakeChanges();
  if (entries_.size() >= kMaxEntries) {
    entries_.clear();
    watches_.ForgetAll();
  }
  const auto found = entries_.find(path);
  if (watches_.Watch(path)) {
    // A read already under way for path gives way: this one started later.
    entries_.insert_or_assign(path, Entry{nullptr, true, {}, ++last_reading_});
    return last_reading_;
  }
  if (found != entries_.end()) Drop(found);
  return 0;
}

void FileSnapshots::Keep(const std::string& path, std::uint64_t reading,
                         const std::shared_ptr<const FileSnapshot>& snapshot, bool settled, const Identity& identity) {
  std::lock_guard lock(mutex_);
  TakeChanges();
  auto found = entries_.find(path);
  if (reading != 0) {
    // Dropped by a notice (the file changed while it was read) or claimed by
    // a later read: nothing to keep.
    if (found == entries_.end() || found->second.reading != reading) return;
    // A link on the way could be pointed elsewhere without a notice.
    if (snapshot != nullptr && snapshot->real_path == path) {
      found->second.snapshot = snapshot;
      found->second.reading = 0;
      return;
    }
    Drop(found);
    found = entries_.end();
  }
  if (snapshot == nullptr || !settled || (found != entries_.end() && found->second.watched)) return;
  entries_.insert_or_assign(path, Entry{snapshot, false, identity, 0});
}

std::shared_ptr<const FileSnapshot> FileSnapshots::Read(const std::string& path, std::size_t max_bytes) {
  std::shared_ptr<const FileSnapshot> kept;
  Identity kept_identity;
  {
    std::lock_guard lock(mutex_);
    TakeChangesOncePerScope();
    const auto found = entries_.find(path);
    if (found != entries_.end() && found->second.snapshot != nullptr) {
      if (found->second.watched) return found->second.snapshot;
      kept = found->second.snapshot;
      kept_identity = found->second.identity;
    }
  }
  // A missing file costs this one look, no watch.
  Identity now;
  const bool regular = RegularFileIdentity(path, now);
  // The same file may now be reached another way (a link on the path
  // pointed at the folder it was moved to): where it resolves goes with it.
  if (kept != nullptr && regular && kept_identity == now && RealPath(path) == kept->real_path) return kept;
  if (!regular) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(path);
    if (found != entries_.end() && !found->second.watched) Drop(found);
    return nullptr;
  }
  const std::uint64_t reading = StartReading(path);
  bool settled = false;
  Identity identity;
  auto snapshot = ReadAnew(path, max_bytes, settled, identity);
  Keep(path, reading, snapshot, settled, identity);
  return snapshot;
}

std::shared_ptr<const FileSnapshot> ReadFileSnapshot(const std::string& path, std::size_t max_bytes) {
  // Destroyed with the module, which frees what it holds when the host
  // unloads it.
  static FileSnapshots snapshots;
  return snapshots.Read(path, max_bytes);
}

}  // namespace platform
