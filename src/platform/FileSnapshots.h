// Files the module reads at every page (settings, templates, voice documents)
// kept in memory and checked with one look at the file system per read, so that an edit on
// disk is still seen at the very next request.
#pragma once

#include <time.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/FileStatus.h"

namespace platform {

// What a file held when it was read, and the path it resolved to then.
struct FileSnapshot {
  std::string text;
  std::string real_path;  // empty when the path did not resolve
};

// The bytes of files by path. A file's bytes come from memory while stat()
// shows the same file as when it was read: same device, file number, size, and
// modification and change times to the nanosecond. File systems stamp times
// coarsely, so two writes may carry one stamp; a file whose status changed
// shortly before it was read is therefore read anew at every call until it
// has settled. Thread-safe.
class FileSnapshots {
 public:
  using Clock = timespec (*)();
  // now: the wall clock against which a file's change time is judged.
  explicit FileSnapshots(Clock now = &RealTime) : now_(now) {}

  // The regular file at path as it is now, or nullptr when there is none, it
  // is larger than max_bytes, or it cannot be read.
  std::shared_ptr<const FileSnapshot> Read(const std::string& path, std::size_t max_bytes);

  static timespec RealTime();

 private:
  using Identity = FileIdentity;
  struct Entry {
    Identity identity;
    std::shared_ptr<const FileSnapshot> snapshot;
  };

  std::shared_ptr<FileSnapshot> ReadAnew(const std::string& path, std::size_t max_bytes, bool& settled,
                                         Identity& identity) const;

  Clock now_;
  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

// The module's own FileSnapshots.
std::shared_ptr<const FileSnapshot> ReadFileSnapshot(const std::string& path, std::size_t max_bytes);

}  // namespace platform
