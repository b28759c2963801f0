// Many borrowers at once on a small pool: every object lent is given back
// exactly once and the books balance. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "generic/FakeFactory.h"
#include "generic/Pool.h"

namespace {

TEST(PoolConcurrencyTest, BorrowersNeverShareAnObjectAndTheBooksBalance) {
  auto factory_ptr = std::make_shared<FakeFactory>();
  FakeFactory& factory = *factory_ptr;
  Generic::PoolOptions options;
  options.minPool = 2;
  options.maxPool = 4;
  {
    WidgetPool pool(factory_ptr, options);
    std::mutex held_mutex;
    std::set<Widget*> held;
    constexpr int kThreads = 12;
    constexpr int kRounds = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kRounds; ++i) {
          Widget* widget = pool.Get(i % 3 == 0);
          if (widget == nullptr) {
            ++failures;
            continue;
          }
          {
            std::lock_guard lock(held_mutex);
            EXPECT_TRUE(held.insert(widget).second) << "lent twice at once";
          }
          std::this_thread::yield();
          {
            std::lock_guard lock(held_mutex);
            held.erase(widget);
          }
          EXPECT_TRUE((t + i) % 7 == 0 ? pool.Fail(widget) : pool.Free(widget));
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    const auto stats = pool.GetStats();
    EXPECT_EQ(stats.retrieved, kThreads * kRounds);
    EXPECT_EQ(stats.returned + stats.returnedBroken, kThreads * kRounds);
    EXPECT_LE(stats.maxInUse, options.maxPool + kThreads) << "overshoot stays bounded";
    EXPECT_EQ(pool.InUseCount(), 0);
  }
  EXPECT_EQ(factory.created.load(), factory.destroyed.load());
}

}  // namespace
