#include "platform/WaitLimitWake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace platform::wake {

int Handle() {
  static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

void Raise() {
  if (const int fd = Handle(); fd >= 0) {
    const std::uint64_t one = 1;
    (void)!write(fd, &one, sizeof one);
  }
}

void Clear() {
  if (const int fd = Handle(); fd >= 0) {
    std::uint64_t count = 0;
    (void)!read(fd, &count, sizeof count);
  }
}

// The eventfd needs no network library and lives as long as the process.
void Close() {}

}  // namespace platform::wake
