#include "platform/WaitLimit.h"

#include <atomic>
#include <cstdint>
#include <limits>

#include "platform/WaitLimitWake.h"

namespace platform {
namespace {

constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();

std::atomic<std::int64_t> g_limit{kNoLimit};  // ticks of WaitClock since its epoch
thread_local std::optional<WaitClock::time_point> t_own_limit;

}  // namespace

void ImposeWaitLimit(WaitClock::time_point deadline) {
  g_limit.store(deadline.time_since_epoch().count(), std::memory_order_release);
  wake::Raise();
}

void LiftWaitLimit() {
  g_limit.store(kNoLimit, std::memory_order_release);
  wake::Clear();
}

std::optional<WaitClock::time_point> CurrentWaitLimit() {
  if (t_own_limit) return t_own_limit;
  const std::int64_t ticks = g_limit.load(std::memory_order_acquire);
  if (ticks == kNoLimit) return std::nullopt;
  return WaitClock::time_point(WaitClock::duration(ticks));
}

std::chrono::milliseconds CutToWaitLimit(std::chrono::milliseconds wait) {
  const auto limit = CurrentWaitLimit();
  if (!limit) return wait;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*limit - WaitClock::now());
  if (left.count() <= 0) return std::chrono::milliseconds(0);
  return left < wait ? left : wait;
}

bool WaitLimitPassed() {
  const auto limit = CurrentWaitLimit();
  return limit && WaitClock::now() >= *limit;
}

int WaitLimitWakeFd() { return wake::Handle(); }

void CloseWaitLimitWake() { wake::Close(); }

ScopedWaitLimit::ScopedWaitLimit(WaitClock::time_point deadline) : previous_(t_own_limit) {
  t_own_limit = deadline;
}

ScopedWaitLimit::~ScopedWaitLimit() { t_own_limit = previous_; }

}  // namespace platform
