// What the host counts about the requests it answers: answers by operation
// and status, the time from a request's hand-over to the module to its answer
// by operation, and the pending requests the watchdog answered 504.
//
// One process-wide set of fixed arrays of relaxed atomics: recording costs
// the request path a few uncontended increments, never a lock or an
// allocation. Any thread may record and render at any time; each counter is
// exact, counters may be a moment apart from each other in one rendering.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "host/Exposition.h"
#include "host/Operations.h"

namespace host {

class RequestMetrics {
 public:
  // status: as answered; 499 when the client went away before its answer.
  void RecordAnswer(std::uint8_t operation, unsigned status) noexcept;
  // For a request the module was given: from its hand-over to its answer.
  void RecordDuration(std::uint8_t operation, std::int64_t nanoseconds) noexcept;
  void RecordWatchdogTimeout() noexcept;

  void Render(Exposition& out) const;

  // Upper bounds of the duration buckets, in seconds: from a quick page to the
  // longest pending request.
  static constexpr std::array<double, 16> kBucketSeconds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                            0.5,   1,      2.5,   5,    10,    30,    60,  120};

 private:
  static constexpr unsigned kFirstStatus = 100;
  static constexpr unsigned kLastStatus = 599;
  static constexpr std::size_t kStatusSlots = kLastStatus - kFirstStatus + 2;  // the last: any other status
  using Counter = std::atomic<std::uint64_t>;

  std::array<std::array<Counter, kStatusSlots>, kOperationCount> answers_{};
  std::array<std::array<Counter, kBucketSeconds.size() + 1>, kOperationCount> buckets_{};  // not cumulative
  std::array<Counter, kOperationCount> duration_ns_{};
  Counter watchdog_timeouts_{0};
};

// The host's one set.
RequestMetrics& HostRequestMetrics();

}  // namespace host
