// A limit on the blocking waits of the module's back-end traffic, for its
// stop. Once a limit is imposed, connects, sends, receives and pool waits end
// by its deadline whatever their own timeouts, and waits already under way are
// woken to apply it: a back end that is slow, silent or unreachable must not
// hold the host's shutdown for the minutes those timeouts allow. A thread may
// carry a deadline of its own instead, for work the stop still wants done
// (the last diagnostics report gets what is left of the stop's time).
//
// Threads: ImposeWaitLimit and LiftWaitLimit run on the host's start and stop
// thread; the rest on any thread. A ScopedWaitLimit is its thread's alone.
#pragma once

#include <chrono>
#include <optional>

namespace platform {

using WaitClock = std::chrono::steady_clock;

// From now on no wait lasts past deadline; waits under way are woken.
void ImposeWaitLimit(WaitClock::time_point deadline);
// Waits are bounded by their own timeouts only (the module starts again).
void LiftWaitLimit();

// The deadline for the calling thread's waits: its own when it has one, else
// the imposed one; empty when neither applies.
std::optional<WaitClock::time_point> CurrentWaitLimit();
// wait, cut to what is left before the current limit (zero once it passed).
std::chrono::milliseconds CutToWaitLimit(std::chrono::milliseconds wait);
bool WaitLimitPassed();
// Becomes readable when a limit is imposed: a poll on a socket adds it, so
// that a wait begun before the stop learns of it. -1 when none could be made
// (waits then notice a limit only when their own timeout ends).
int WaitLimitWakeFd();
// Before the network library is shut down: Windows makes the wake-up out of a
// socket. A later wait makes a new one.
void CloseWaitLimitWake();

// Gives the calling thread its own deadline until the scope ends.
class ScopedWaitLimit {
 public:
  explicit ScopedWaitLimit(WaitClock::time_point deadline);
  ~ScopedWaitLimit();
  ScopedWaitLimit(const ScopedWaitLimit&) = delete;
  ScopedWaitLimit& operator=(const ScopedWaitLimit&) = delete;

 private:
  std::optional<WaitClock::time_point> previous_;
};

}  // namespace platform
