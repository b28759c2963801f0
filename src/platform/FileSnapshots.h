// Files the module reads at every page (settings, templates, voice documents)
// kept in memory, so that a page costs no read of them, while an edit on disk
// is still seen at the very next request.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/FileStatus.h"
#include "platform/FileWatches.h"

namespace platform {

// What a file held when it was read, and the path it resolved to then.
struct FileSnapshot {
  std::string text;
  std::string real_path;  // empty when the path did not resolve
};

// The bytes of files by path. Where the kernel sends change notices (see
// FileWatches), a file's bytes come from memory until a notice about the file
// or a folder on its path arrives; one read of the pending notices per call
// costs less than a look at the file, and within a FileCheckScope one read
// of them serves every call of the scope. Not seen there until something else
// happens to the file: writes through a shared memory mapping, which raise no
// notice of their own, and a file system mounted over a folder on the path.
//
// Elsewhere (a link on the path, a network file system, no watch left, or
// Windows) they come from memory while stat() shows the same file as when it
// was read: same device, file number, size, and modification and change times
// to the nanosecond. File systems stamp times coarsely, so two writes may
// carry one stamp; such a file whose status changed shortly before it was read
// is therefore read anew at every call until it has settled. Thread-safe.
class FileSnapshots {
 public:
  using Clock = timespec (*)();
  // now: the wall clock against which a file's change time is judged.
  explicit FileSnapshots(Clock now = &RealTime);

  // The regular file at path as it is now, or nullptr when there is none, it
  // is larger than max_bytes, or it cannot be read.
  std::shared_ptr<const FileSnapshot> Read(const std::string& path, std::size_t max_bytes);

  static timespec RealTime();

 private:
  using Identity = FileIdentity;
  struct Entry {
    std::shared_ptr<const FileSnapshot> snapshot;  // null while a first read is under way
    bool watched = false;
    Identity identity;          // what stat() must show when not watched
    std::uint64_t reading = 0;  // the read under way whose bytes may be kept
  };
  using Entries = std::unordered_map<std::string, Entry>;

  std::shared_ptr<FileSnapshot> ReadAnew(const std::string& path, std::size_t max_bytes, bool& settled,
                                         Identity& identity) const;
  std::uint64_t StartReading(const std::string& path);
  void Keep(const std::string& path, std::uint64_t reading, const std::shared_ptr<const FileSnapshot>& snapshot,
            bool settled, const Identity& identity);
  void TakeChanges();
  // Under the lock, at a read that may come from memory: what TakeChanges
  // does, unless this thread's scope has done it already.
  void TakeChangesOncePerScope();
  void Drop(Entries::iterator entry);

  const std::uint64_t serial_;  // tells this object apart in a FileCheckScope
  Clock now_;
  std::mutex mutex_;
  Entries entries_;
  FileWatches watches_;
  std::vector<std::string> changed_;
  std::uint64_t last_reading_ = 0;
};

// One request's look at the file system, on the thread that serves it: the
// first read of a FileSnapshots within the scope takes the change notices
// queued so far, and the scope's later reads trust that look. A request thus
// sees every change made before it began, which is what an operator editing
// a template or RAVO.ini relies on, for one look however many files its
// page reads. Files checked with stat() are checked at every read still, and
// outside any scope every read looks. Scopes nest: an inner one looks anew.
class FileCheckScope {
 public:
  FileCheckScope();
  ~FileCheckScope();
  FileCheckScope(const FileCheckScope&) = delete;
  FileCheckScope& operator=(const FileCheckScope&) = delete;

 private:
  friend class FileSnapshots;
  // True when the FileSnapshots of serial has looked within the innermost
  // scope of this thread; otherwise notes that it is about to.
  static bool Looked(std::uint64_t serial);

  FileCheckScope* const outer_;
  // The FileSnapshots that looked within this scope; past their number a
  // FileSnapshots looks at every read, as outside a scope.
  std::uint64_t looked_[2] = {};
};

// The module's own FileSnapshots.
std::shared_ptr<const FileSnapshot> ReadFileSnapshot(const std::string& path, std::size_t max_bytes);

}  // namespace platform
