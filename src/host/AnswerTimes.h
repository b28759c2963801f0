// How long the module typically takes to answer each operation, learned from
// the answers themselves, so that a connection thread waits for an answer
// only where one usually comes quickly.
//
// Waiting saves a quick answer the suspension and resumption of its
// connection; but while a thread waits, its other connections wait too. An
// operation whose back end has turned slow is therefore suspended at once,
// and waited for again once its answers are quick again.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "host/Operations.h"

namespace host {

class AnswerTimes {
 public:
  // limit: the longest a connection thread waits for an answer.
  explicit AnswerTimes(std::chrono::microseconds limit) : limit_(limit) {}

  // limit while the operation's typical answer takes at most half of it
  // (so that most answers come within it), else zero.
  std::chrono::microseconds WaitFor(std::uint8_t operation) const noexcept;

  // One answer of the operation, elapsed after its hand-over to the module.
  // Any thread; lock-free.
  void Record(std::uint8_t operation, std::chrono::nanoseconds elapsed) noexcept;

 private:
  std::chrono::microseconds limit_;
  // A moving average in nanoseconds; a lost update between racing threads
  // only delays what the next answer teaches.
  std::array<std::atomic<std::int64_t>, kOperationCount> typical_ns_{};
};

}  // namespace host
