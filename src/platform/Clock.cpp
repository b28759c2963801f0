#include "platform/Clock.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace platform {

std::int64_t MonotonicCounter() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * kCounterFrequency + now.tv_nsec;
}

std::uint32_t CurrentThreadId() {
  // Cached per thread: the id never changes and trace lines ask often.
  thread_local const auto id = static_cast<std::uint32_t>(syscall(SYS_gettid));
  return id;
}

}  // namespace platform
