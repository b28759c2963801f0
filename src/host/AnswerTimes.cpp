#include "host/AnswerTimes.h"

#include <algorithm>

namespace host {
namespace {

// Each answer moves the average an eighth of the way: a few slow answers
// stop the waiting, a few quick ones resume it.
constexpr std::int64_t kWeight = 8;
// A back end that hangs for minutes must not keep the average high for
// hundreds of answers after it recovers.
constexpr std::int64_t kCeilingFactor = 8;

}  // namespace

std::chrono::microseconds AnswerTimes::WaitFor(std::uint8_t operation) const noexcept {
  if (operation >= kOperationCount) return std::chrono::microseconds(0);
  const std::int64_t typical = typical_ns_[operation].load(std::memory_order_relaxed);
  const std::int64_t half_limit = std::chrono::nanoseconds(limit_).count() / 2;
  return typical <= half_limit ? limit_ : std::chrono::microseconds(0);
}

void AnswerTimes::Record(std::uint8_t operation, std::chrono::nanoseconds elapsed) noexcept {
  if (operation >= kOperationCount) return;
  const std::int64_t ceiling = kCeilingFactor * std::chrono::nanoseconds(limit_).count();
  const std::int64_t sample = std::clamp<std::int64_t>(elapsed.count(), 0, ceiling);
  auto& typical = typical_ns_[operation];
  const std::int64_t old = typical.load(std::memory_order_relaxed);
  typical.store(old + (sample - old) / kWeight, std::memory_order_relaxed);
}

}  // namespace host
