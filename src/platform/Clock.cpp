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
  // Not cached in a thread_local: the module is loaded with dlopen, and its
  // dynamic thread-local storage is freed behind the back of the thread
  // sanitizer when a finished worker thread is detached.
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

}  // namespace platform
