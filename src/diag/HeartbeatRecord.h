// The outcome of the heartbeats to the back end, for the host's health check:
// written by whoever sends a heartbeat (the diagnostics thread, a heartbeat
// request on a request thread), read from any thread without a lock. Each
// field is exact; two fields may be a moment apart from each other.
#pragma once

#include <atomic>
#include <cstdint>

namespace diag {

class HeartbeatRecord {
 public:
  struct Status {
    std::int64_t lastAttemptNs = 0;  // platform::MonotonicCounter(); 0: none yet
    std::int64_t lastSuccessNs = 0;
    bool lastSucceeded = false;
  };

  // answered: every heartbeat of this round got the back end's answer.
  void Record(bool answered);
  Status Read() const;

 private:
  std::atomic<std::int64_t> last_attempt_ns_{0};
  std::atomic<std::int64_t> last_success_ns_{0};
  std::atomic<bool> last_succeeded_{false};
};

}  // namespace diag
