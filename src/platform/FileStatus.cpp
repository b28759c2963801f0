#include "platform/FileStatus.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

namespace platform {
namespace {

FileIdentity IdentityOf(const struct stat& info) {
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                      static_cast<std::int64_t>(info.st_size), info.st_mtim, info.st_ctim};
}

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

bool RegularFileIdentity(const std::string& path, FileIdentity& identity) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  identity = IdentityOf(info);
  return true;
}

bool ReadRegularFile(const std::string& path, std::size_t max_bytes, std::string& text, FileIdentity& identity) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool read = false;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
      static_cast<unsigned long long>(info.st_size) <= max_bytes) {
    try {
      text.resize(static_cast<std::size_t>(info.st_size));
      read = ReadWhole(fd, text);
    } catch (const std::bad_alloc&) {
      read = false;
    }
  }
  close(fd);
  if (read) identity = IdentityOf(info);
  return read;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

}  // namespace platform
