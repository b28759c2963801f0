// What the host counts about the requests it answers and the module calls it
// makes: answers by operation and status, the time from a request's
// hand-over to the module to its answer by operation, the pending requests
// the watchdog answered 504, and every call into the module with the time it
// took and whether it held its event loop so long that another thread took
// the loop over.
//
// One process-wide set of fixed arrays of relaxed atomics: recording costs
// the request path a few uncontended increments, never a lock or an
// allocation. Any thread may record and render at any time; each counter is
// exact, counters may be a moment apart from each other in one rendering.
// A new count is a member, a Record function and a few lines in Render.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>
#include <utility>

#include "host/Exposition.h"
#include "host/Operations.h"

namespace host {

// A Prometheus histogram of durations over fixed buckets (upper bounds in
// seconds, ascending).
template <std::size_t kBuckets>
class DurationHistogram {
 public:
  explicit constexpr DurationHistogram(const std::array<double, kBuckets>& bounds) : bounds_(&bounds) {}
  void Record(std::int64_t nanoseconds) noexcept;
  // Writes name_bucket, name_sum and name_count, with label beside "le"
  // unless it is null; nothing while it counted nothing.
  void Render(Exposition& out, std::string_view name, const MetricLabel* label) const;

 private:
  using Counter = std::atomic<std::uint64_t>;
  const std::array<double, kBuckets>* bounds_;
  std::array<Counter, kBuckets + 1> counts_{};  // not cumulative; the last: above every bound
  Counter sum_ns_{0};
};

class RequestMetrics {
 public:
  // status: as answered; 499 when the client went away before its answer.
  void RecordAnswer(std::uint8_t operation, unsigned status) noexcept;
  // For a request the module was given: from its hand-over to its answer.
  void RecordDuration(std::uint8_t operation, std::int64_t nanoseconds) noexcept;
  void RecordWatchdogTimeout() noexcept;
  // One return from HttpExtensionProc, after nanoseconds inside it.
  void RecordModuleCall(std::int64_t nanoseconds) noexcept;
  // A module call held its event loop so long that another thread took it on.
  void RecordBlockingModuleCall() noexcept;

  void Render(Exposition& out) const;

  // Upper bounds of the request duration buckets, in seconds: from a quick
  // page to the longest pending request.
  static constexpr std::array<double, 16> kBucketSeconds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                            0.5,   1,      2.5,   5,    10,    30,    60,  120};
  // Of a module call: most return within microseconds; a few wait on the
  // back end.
  static constexpr std::array<double, 12> kCallBucketSeconds = {0.0001, 0.00025, 0.0005, 0.001, 0.002, 0.005,
                                                                0.01,   0.05,    0.25,   1,     10,    60};

 private:
  static constexpr unsigned kFirstStatus = 100;
  static constexpr unsigned kLastStatus = 599;
  static constexpr std::size_t kStatusSlots = kLastStatus - kFirstStatus + 2;  // the last: any other status
  using Counter = std::atomic<std::uint64_t>;
  using RequestHistogram = DurationHistogram<kBucketSeconds.size()>;

  static constexpr std::array<RequestHistogram, kOperationCount> RequestHistograms() {
    return []<std::size_t... kIndex>(std::index_sequence<kIndex...>) {
      return std::array<RequestHistogram, kOperationCount>{((void)kIndex, RequestHistogram(kBucketSeconds))...};
    }(std::make_index_sequence<kOperationCount>());
  }

  std::array<std::array<Counter, kStatusSlots>, kOperationCount> answers_{};
  std::array<RequestHistogram, kOperationCount> durations_ = RequestHistograms();
  Counter watchdog_timeouts_{0};
  DurationHistogram<kCallBucketSeconds.size()> module_calls_{kCallBucketSeconds};
  Counter blocking_module_calls_{0};
};

// The host's one set.
RequestMetrics& HostRequestMetrics();

}  // namespace host
