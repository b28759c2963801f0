// Time and thread identity for trace lines.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

// Ticks per second of MonotonicCounter().
inline constexpr std::int64_t kCounterFrequency = 1'000'000'000;

// CLOCK_MONOTONIC in nanoseconds: the time since an unspecified origin
// (normally system start). Safe from any thread.
std::int64_t MonotonicCounter();

// The kernel's id of the calling thread.
std::uint32_t CurrentThreadId();

// The local wall-clock time now, broken down. Safe from any thread.
inline std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace platform
