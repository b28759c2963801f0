#include "generic/Pool.h"

#include <gtest/gtest.h>

#include <string_view>
#include <thread>
#include <vector>

#include "support/WaitUntil.h"
#include "generic/FakeFactory.h"

namespace {

using namespace std::chrono_literals;

// A pool over a fake factory; teardown checks that nothing lent stays out.
class PoolTest : public ::testing::Test {
 protected:
  WidgetPool& Make(int min, int max) {
    options_.minPool = min;
    options_.maxPool = max;
    pool_ = std::make_unique<WidgetPool>(factory_ptr_, options_);
    return *pool_;
  }
  void TearDown() override {
    if (pool_) {
      EXPECT_EQ(pool_->InUseCount(), 0) << "a test leaked a lent object";
    }
    pool_.reset();
    EXPECT_EQ(factory_.created.load(), factory_.destroyed.load()) << "every object made was disposed of";
  }
  std::shared_ptr<FakeFactory> factory_ptr_ = std::make_shared<FakeFactory>();
  FakeFactory& factory_ = *factory_ptr_;
  Generic::PoolOptions options_;
  std::unique_ptr<WidgetPool> pool_;
};

TEST_F(PoolTest, FillsToTheMinimumAtOnceButNeverBeyondTheMaximum) {
  EXPECT_EQ(Make(3, 5).FreeCount(), 3);
  pool_.reset();
  EXPECT_EQ(Make(7, 4).FreeCount(), 4);
}

TEST_F(PoolTest, MostRecentFirstOrOldestFromTheBack) {
  auto& pool = Make(0, 5);
  Widget* a = pool.Get(false);
  Widget* b = pool.Get(false);
  ASSERT_TRUE(a && b && a != b);
  ASSERT_TRUE(pool.Free(a));
  ASSERT_TRUE(pool.Free(b));
  Widget* newest = pool.Get(false);
  EXPECT_EQ(newest, b);
  ASSERT_TRUE(pool.Free(newest));
  Widget* oldest = pool.Get(true);
  EXPECT_EQ(oldest, a);
  ASSERT_TRUE(pool.Free(oldest));
}

TEST_F(PoolTest, RefusesWhatItDidNotLend) {
  auto& pool = Make(1, 2);
  Widget* lent = pool.Get(false);
  ASSERT_TRUE(pool.Free(lent));
  EXPECT_FALSE(pool.Free(lent)) << "second Free";
  EXPECT_FALSE(pool.Fail(lent)) << "Fail after Free";
  EXPECT_FALSE(pool.Free(nullptr));
  EXPECT_FALSE(pool.Fail(nullptr));
  Widget stranger{99};
  EXPECT_FALSE(pool.Free(&stranger));
  EXPECT_EQ(pool.GetStats().returned, 1);
}

TEST_F(PoolTest, FailDestroysAndReplaces) {
  auto& pool = Make(1, 1);
  Widget* broken = pool.Get(false);
  const int serial = broken->serial;
  ASSERT_TRUE(pool.Fail(broken));
  EXPECT_EQ(factory_.destroyed.load(), 1);
  EXPECT_EQ(pool.FreeCount(), 1);
  Widget* replacement = pool.Get(false);
  EXPECT_NE(replacement->serial, serial);
  ASSERT_TRUE(pool.Free(replacement));
  EXPECT_EQ(pool.GetStats().returnedBroken, 1);
}

TEST_F(PoolTest, FreeTopsThePoolUpToItsMinimum) {
  auto& pool = Make(3, 5);
  Widget* a = pool.Get(false);
  factory_.available = false;
  ASSERT_TRUE(pool.Fail(a));  // no replacement possible
  EXPECT_EQ(pool.FreeCount() + pool.InUseCount(), 2);
  factory_.available = true;
  Widget* b = pool.Get(false);
  ASSERT_TRUE(pool.Free(b));
  EXPECT_EQ(pool.FreeCount() + pool.InUseCount(), 3);
}

TEST_F(PoolTest, ThrowingFactoryCountsAsFailedCreation) {
  factory_.throw_on_create = true;
  EXPECT_EQ(Make(2, 4).FreeCount(), 0);
}

TEST_F(PoolTest, AWaitingGetIsLetThroughByAFreeAndTheWaitIsCounted) {
  auto& pool = Make(1, 1);
  Widget* held = pool.Get(false);
  std::thread returner([&] {
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(pool.Free(held));
  });
  const auto start = std::chrono::steady_clock::now();
  Widget* waited = pool.Get(false);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  returner.join();
  ASSERT_NE(waited, nullptr);
  EXPECT_EQ(waited, held);
  ASSERT_TRUE(pool.Free(waited));
  const auto stats = pool.GetStats();
  EXPECT_EQ(stats.waits, 1);
  EXPECT_GE(stats.totalWaitMs, 250);
  EXPECT_LT(stats.totalWaitMs, 5000);
  EXPECT_EQ(stats.retrieved, 2);
}

// However a borrower queued with a callback (as on an event loop) is handed
// an object (one given back, one made to replace a broken one, one made by a
// blocking borrower that found room), the retrieval is counted once, so that
// what the books say is lent (retrieved - returned - broken) ends at zero.
TEST_F(PoolTest, EveryGrantToACallbackBorrowerIsCountedOnce) {
  struct Row {
    const char* how;
    int min;
    bool may_create;
  };
  for (const Row row : {Row{"given back", 1, true}, Row{"made for a broken one", 1, true},
                        Row{"made by a blocking borrower", 0, false}}) {
    SCOPED_TRACE(row.how);
    auto& pool = Make(row.min, 1);
    Widget* held = row.min > 0 ? pool.Get(false) : nullptr;
    std::atomic<bool> woken{false};
    WidgetPool::Waiter waiter;
    waiter.wake = [](void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); };
    waiter.context = &woken;
    ASSERT_EQ(pool.ClaimOrQueue(waiter, false, row.may_create).kind, WidgetPool::Claim::Kind::kNone);
    std::thread blocking;
    if (held == nullptr) {
      blocking = std::thread([&] {
        Widget* got = pool.Get(false);  // makes one for the waiter, then waits for it
        ASSERT_NE(got, nullptr);
        EXPECT_TRUE(pool.Free(got));
      });
    } else if (std::string_view(row.how) == "given back") {
      ASSERT_TRUE(pool.Free(held));
    } else {
      ASSERT_TRUE(pool.Fail(held));
    }
    ASSERT_TRUE(WaitUntil([&] { return woken.load(); }));
    ASSERT_EQ(waiter.claim.kind, WidgetPool::Claim::Kind::kObject);
    ASSERT_TRUE(pool.Free(waiter.claim.object));
    if (blocking.joinable()) blocking.join();
    const auto stats = pool.GetStats();
    EXPECT_EQ(stats.retrieved, stats.returned + stats.returnedBroken);
    pool_.reset();
  }
}

// After a long healthy run the pool runs dry (every object lent, the back end
// gone): its waiters sleep instead of trying the back end over and over, and
// each object that comes back wakes one of them.
TEST_F(PoolTest, AfterALongRunWaitersOnADryPoolSleepAndEachReturnWakesOne) {
  auto& pool = Make(0, 4);
  for (int i = 0; i < 5000; ++i) {
    Widget* a = pool.Get(false);
    Widget* b = pool.Get(false);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(pool.Free(a));
    ASSERT_TRUE(pool.Free(b));
  }
  Widget* first = pool.Get(false);
  Widget* second = pool.Get(false);
  factory_.available = false;
  const int tried_before = factory_.attempts.load();

  constexpr int kWaiters = 2;
  std::atomic<int> served{0};
  std::vector<Widget*> got(kWaiters, nullptr);
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] {
      got[i] = pool.Get(false);
      ++served;
    });
  }
  // Each waiter tries to make an object once, then sleeps.
  ASSERT_TRUE(WaitUntil([&] { return factory_.attempts.load() >= tried_before + kWaiters; }));
  EXPECT_FALSE(WaitUntil([&] { return factory_.attempts.load() > tried_before + 2 * kWaiters; }, 300ms))
      << "waiters spin on a dry pool: " << factory_.attempts.load() - tried_before << " tries";
  EXPECT_EQ(served.load(), 0);

  ASSERT_TRUE(pool.Free(first));
  ASSERT_TRUE(WaitUntil([&] { return served.load() == 1; }));
  ASSERT_TRUE(pool.Free(second));
  ASSERT_TRUE(WaitUntil([&] { return served.load() == 2; }));
  for (auto& waiter : waiters) waiter.join();
  EXPECT_LE(factory_.attempts.load(), tried_before + 2 * kWaiters) << "a wait slice is two seconds";
  for (Widget* widget : got) {
    ASSERT_NE(widget, nullptr);
    EXPECT_TRUE(widget == first || widget == second);
    EXPECT_TRUE(pool.Free(widget));
  }
  EXPECT_EQ(pool.GetStats().waits, kWaiters);
}

TEST_F(PoolTest, ExhaustedPoolGivesUpAfterMoreThanTenSeconds) {
  auto& pool = Make(0, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pool.Get(false), nullptr);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GT(waited, 10s);
  EXPECT_LT(waited, 15s);
  EXPECT_EQ(pool.GetStats().retrieved, 0) << "a failed Get records nothing";
  EXPECT_EQ(pool.GetStats().waits, 0);
}

// Once a wait slice has taken a borrower past its ten seconds, it starts no
// new creation: one that fails in nine seconds would stretch it to twenty.
TEST_F(PoolTest, ACreationThatFailsSlowlyIsNotTriedAgainPastTheBorrowersTime) {
  auto& pool = Make(0, 1);
  factory_.available = false;
  factory_.create_time = 9000ms;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pool.Get(false), nullptr);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GT(waited, 10s);
  EXPECT_LT(waited, 15s);
  EXPECT_EQ(factory_.attempts.load(), 1);
}

// A lease gives its object back exactly once whatever the borrower does, and
// keeps the pool alive after its builder let go of it: the pool owns what it
// needs (factory and bounds), so nothing it touches then belongs to the builder.
TEST(PoolLeaseTest, EveryPathGivesTheObjectBackOnceAndThePoolOutlivesItsBuilder) {
  auto factory = std::make_shared<FakeFactory>();
  std::weak_ptr<WidgetPool> watch;
  Generic::Lease<Widget> kept;
  {
    auto bounds = std::make_unique<Generic::PoolOptions>();
    bounds->minPool = 1;
    bounds->maxPool = 3;
    auto pool = std::make_shared<WidgetPool>(factory, *bounds);
    bounds.reset();  // the builder's options are gone; the pool kept a copy
    watch = pool;
    const std::shared_ptr<Generic::PoolInterface<Widget>> lender = pool;
    {
      auto dropped = Generic::Borrow(lender, false);  // ends without a word: broken
      ASSERT_TRUE(dropped);
    }
    EXPECT_EQ(factory->destroyed.load(), 1);
    auto released = Generic::Borrow(lender, false);
    Widget* first = released.get();
    EXPECT_TRUE(released.Release());
    EXPECT_FALSE(released) << "empty after giving back";
    EXPECT_TRUE(released.Release()) << "a second give-back does nothing";
    auto moved = Generic::Borrow(lender, false);
    EXPECT_EQ(moved.get(), first) << "a released object is lent again";
    kept = std::move(moved);
    EXPECT_EQ(pool->InUseCount(), 1);
  }
  ASSERT_FALSE(watch.expired()) << "a lent object keeps its pool";
  EXPECT_TRUE(kept.Fail());
  EXPECT_TRUE(watch.expired()) << "the last give-back ends the pool";
  EXPECT_EQ(factory->created.load(), factory->destroyed.load()) << "and the pool disposed of everything";
}

}  // namespace
