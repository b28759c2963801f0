// Time and thread identity for trace lines.
#pragma once

#include <cstdint>

namespace platform {

// Ticks per second of MonotonicCounter().
inline constexpr std::int64_t kCounterFrequency = 1'000'000'000;

// CLOCK_MONOTONIC in nanoseconds: the time since an unspecified origin
// (normally system start). Safe from any thread.
std::int64_t MonotonicCounter();

// The kernel's id of the calling thread.
std::uint32_t CurrentThreadId();

}  // namespace platform
