#include "diag/HeartbeatRecord.h"

#include "platform/Clock.h"

namespace diag {

void HeartbeatRecord::Record(bool answered) {
  const std::int64_t now = platform::MonotonicCounter();
  // The outcome before the time, so that a reader who sees the new time never
  // pairs it with the previous outcome for long.
  last_succeeded_.store(answered, std::memory_order_relaxed);
  if (answered) last_success_ns_.store(now, std::memory_order_relaxed);
  last_attempt_ns_.store(now, std::memory_order_release);
}

HeartbeatRecord::Status HeartbeatRecord::Read() const {
  Status status;
  status.lastAttemptNs = last_attempt_ns_.load(std::memory_order_acquire);
  status.lastSucceeded = last_succeeded_.load(std::memory_order_relaxed);
  status.lastSuccessNs = last_success_ns_.load(std::memory_order_relaxed);
  return status;
}

}  // namespace diag
