#include "platform/ReadFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

namespace platform {

bool ReadRegularFile(const std::string& path, std::string& text, std::size_t max_bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
            static_cast<unsigned long long>(info.st_size) <= max_bytes;
  if (ok) {
    try {
      text.resize(static_cast<std::size_t>(info.st_size));
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  std::size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t count = read(fd, text.data() + done, text.size() - done);
    if (count <= 0) ok = false;
    else done += static_cast<std::size_t>(count);
  }
  close(fd);
  return ok;
}

}  // namespace platform
