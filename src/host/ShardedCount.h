// A count that many threads change often and few read: each thread adds to a
// slot of its own cache line, so that the request path pays no contended
// atomic; a read sums the slots. Any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace host {

class ShardedCount {
 public:
  void Add(std::int64_t delta) noexcept { slots_[Slot()].value.fetch_add(delta, std::memory_order_relaxed); }
  std::int64_t Sum() const noexcept {
    std::int64_t sum = 0;
    for (const auto& slot : slots_) sum += slot.value.load(std::memory_order_relaxed);
    return sum;
  }

 private:
  static constexpr std::size_t kSlots = 32;
  struct alignas(64) Padded {
    std::atomic<std::int64_t> value{0};
  };
  static std::size_t Slot() noexcept {
    static std::atomic<std::size_t> next{0};
    thread_local const std::size_t slot = next.fetch_add(1, std::memory_order_relaxed) % kSlots;
    return slot;
  }
  std::array<Padded, kSlots> slots_{};
};

}  // namespace host
