#include "platform/Clock.h"

#include <windows.h>

namespace platform {

std::int64_t MonotonicCounter() {
  // The performance counter in nanoseconds, so that trace lines read alike on
  // both platforms; split so that the product cannot overflow.
  static const std::int64_t frequency = [] {
    LARGE_INTEGER value{};
    return QueryPerformanceFrequency(&value) && value.QuadPart > 0 ? value.QuadPart : 1;
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const std::int64_t whole = now.QuadPart / frequency;
  const std::int64_t part = now.QuadPart % frequency;
  return whole * kCounterFrequency + part * kCounterFrequency / frequency;
}

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(GetCurrentThreadId()); }

}  // namespace platform
