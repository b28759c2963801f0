// Waiting for what another thread or process brings about, up to a deadline.
// Tests wait for the condition they need, never for a guessed time: a guess
// is either slow or flaky on a loaded machine, and a deadline turns a hang
// into a failure.
#pragma once

#include <chrono>
#include <thread>

// True as soon as condition() holds, false when it still does not at the
// deadline. It polls because most of what tests wait for (a count in another
// process, a socket's queue, an entry in /proc) offers nothing to block on.
template <typename Condition>
[[nodiscard]] bool WaitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
