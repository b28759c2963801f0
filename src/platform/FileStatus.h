// The file-system calls behind FileSnapshots and the template folder's
// checks; each platform has its own implementation.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// What tells one version of a file from another.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  timespec modified{};
  timespec changed{};  // status change: no tool can set it back
  bool operator==(const FileIdentity& other) const;
};

// The identity of the regular file at path; false when there is none.
bool RegularFileIdentity(const std::string& path, FileIdentity& identity);

// The bytes of the regular file at path, and its identity as it was read;
// false when there is none, it is larger than max_bytes or cannot be read. A
// FIFO or a device is never opened for reading: it could hang the thread.
bool ReadRegularFile(const std::string& path, std::size_t max_bytes, std::string& text, FileIdentity& identity);

// The absolute path with links and dots resolved; empty when path names
// nothing that exists.
std::string RealPath(const std::string& path);

}  // namespace platform
