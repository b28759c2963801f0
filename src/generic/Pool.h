// A thread-safe pool of expensive objects (connected sockets): borrowers take
// one with Get and give it back with Free or Fail. The pool keeps at least
// minPool objects, never more than maxPool (it may overshoot briefly when
// several threads create at once), creates objects on demand in the calling
// thread, and lets a borrower wait a bounded time when it is exhausted.
//
// Lock discipline: mutex_ guards m_freeList and m_inUseList and is held only
// for list operations, never while the factory creates or destroys. A
// borrower waiting for an object sleeps on returned_ (which releases mutex_)
// until the free list has one: each object put on it wakes one waiter, and an
// object that came back before anyone waited is found by the list check, not
// by a count of past wake-ups that would let later waiters spin. The list
// sizes are mirrored in atomics for trace lines and the size check of _addOne.
// Since the lock is held for microseconds, a wait for it needs no time limit.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "diag/TraceLog.h"
#include "generic/PoolInterfaces.h"
#include "platform/Clock.h"
#include "platform/WaitLimit.h"

namespace Generic {

template <typename PT>
class Pool : public PoolInterface<typename PT::ObjectType> {
 public:
  using T = typename PT::ObjectType;

  static constexpr int kGetTimeoutSeconds = 10;
  // A waiting borrower looks at the clock and the module's stop this often.
  static constexpr auto kWaitSlice = std::chrono::milliseconds(2000);

  // Fills the pool to minPool at once; an unreachable back end leaves it
  // empty. The pool shares its factory and keeps its own copy of the options,
  // so that a pool kept alive by a lease outlives whoever built it.
  Pool(std::shared_ptr<FactoryInterface<T>> factory, const PoolOptions& options)
      : factory_(std::move(factory)), options_(options) {
    diag::TraceLine("Pool<type>::Pool: minPool=%d, maxPool=%d\n", options_.minPool, options_.maxPool);
    for (int i = 0; i < options_.minPool; ++i) (void)_addOne();
  }

  // Waits until every lent object has come back, then destroys the idle ones.
  ~Pool() override {
    closing_.store(true);
    std::deque<std::unique_ptr<T>> idle;
    {
      std::unique_lock lock(mutex_);
      returned_.wait(lock, [this] { return m_inUseList.empty(); });
      idle.swap(m_freeList);
      SyncCounts();
    }
    for (auto& object : idle) factory_->Destroy(std::move(object));
  }

  T* Get(bool from_back) override {
    T* object = _allocate(kGetTimeoutSeconds, from_back);
    if (object != nullptr) statistics_.RecordRetrieval(InUseCount(), FreeCount());
    diag::TraceLine("Pool<type>::Get: m_freeList=%d, m_inUseList=%d, pObj=%08lX\n", FreeCount(),
                    InUseCount(), Address(object));
    return object;
  }

  bool Free(T* object) override {
    diag::TraceLine("Pool<type>::Free:  Enter m_freeList=%d, m_inUseList=%d, pObj=%08lX\n",
                    FreeCount(), InUseCount(), Address(object));
    if (object == nullptr) return false;
    {
      std::lock_guard lock(mutex_);
      const auto found = m_inUseList.find(object);
      if (found == m_inUseList.end()) {
        diag::TraceLine(
            "Pool<type>::Free: ERROR not added to freeList as object not from our pool %08lX \n",
            Address(object));
        return false;
      }
      diag::TraceLine("Pool<type>::Free: Removing from inUseList %08lX\n", Address(object));
      m_freeList.push_front(std::move(found->second));
      m_inUseList.erase(found);
      SyncCounts();
    }
    int gap = options_.minPool - InUseCount() - FreeCount();
    diag::TraceLine("Pool<type>::Free: Adding to freeList %08lX - gap=%d\n", Address(object), gap);
    for (; gap > 0; --gap) (void)_addOne();
    WakeWaiter();
    statistics_.RecordReturn(InUseCount(), FreeCount());
    diag::TraceLine("Pool<type>::Free:  Exit m_freeList=%d, m_inUseList=%d\n", FreeCount(), InUseCount());
    return true;
  }

  bool Fail(T* object) override {
    diag::TraceLine("Pool<type>::Fail: Enter m_freeList=%d, m_inUseList=%d, pObj=%08lX\n",
                    FreeCount(), InUseCount(), Address(object));
    if (object == nullptr) return false;
    std::unique_ptr<T> broken;
    {
      std::lock_guard lock(mutex_);
      const auto found = m_inUseList.find(object);
      if (found == m_inUseList.end()) {
        diag::TraceLine("Pool<type>::Fail: NOT FOUND IN INUSELIST %08lX \n", Address(object));
        return false;
      }
      broken = std::move(found->second);
      m_inUseList.erase(found);
      SyncCounts();
    }
    factory_->Destroy(std::move(broken));
    if (closing_.load()) {
      WakeWaiter();
    } else {
      diag::TraceLine("Pool<type>::Fail: Entering addOne %08lX \n", Address(object));
      (void)_addOne();
    }
    statistics_.RecordBrokenReturn(InUseCount(), FreeCount());
    diag::TraceLine("Pool<type>::Fail: Exit m_freeList=%d, m_inUseList=%d\n", FreeCount(), InUseCount());
    return true;
  }

  PoolStatisticsBlock GetStats() const override { return statistics_.Snapshot(); }

  // The configured bound, not the number of objects there are now.
  int MaxSize() const { return options_.maxPool; }
  int FreeCount() const { return free_count_.load(std::memory_order_relaxed); }
  int InUseCount() const { return in_use_count_.load(std::memory_order_relaxed); }

 private:
  static unsigned long Address(const T* object) {
    return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(object));
  }

  // After an object went on the free list: one waiter may take it. The stop
  // waits for the last lent object, so while closing every waiter is woken.
  void WakeWaiter() {
    if (closing_.load()) {
      returned_.notify_all();
    } else {
      returned_.notify_one();
    }
  }

  // Under mutex_.
  void SyncCounts() {
    free_count_.store(static_cast<int>(m_freeList.size()), std::memory_order_relaxed);
    in_use_count_.store(static_cast<int>(m_inUseList.size()), std::memory_order_relaxed);
  }

  bool _addOne() {
    diag::TraceLine("Pool<type>::_addOne: Enter m_freeList=%d, m_inUseList=%d, maxPool=%d\n",
                    FreeCount(), InUseCount(), options_.maxPool);
    if (FreeCount() + InUseCount() < options_.maxPool) {
      std::unique_ptr<T> object;
      try {
        object = factory_->Create();
      } catch (const std::exception&) {
        object.reset();
      }
      T* raw = object.get();
      diag::TraceLine("Pool<type>::_addOne: new pObj=%08lX\n", Address(raw));
      if (object) {
        {
          std::lock_guard lock(mutex_);
          m_freeList.push_front(std::move(object));
          SyncCounts();
        }
        diag::TraceLine("Pool<type>::_addOne: Exit m_freeList=%d, m_inUseList=%d, pObj=%08lX\n",
                        FreeCount(), InUseCount(), Address(raw));
        WakeWaiter();
        return true;
      }
      diag::TraceLine("Pool<type>::_addOne: ERROR pObj is null so no socket created\n");
    }
    diag::TraceLine(
        "Pool<type>::_addOne: ERROR either pool is at max size, or cannot create any. "
        "m_freeList=%d, m_inUseList=%d\n",
        FreeCount(), InUseCount());
    return false;
  }

  T* _allocate(int timeout_s, bool from_back) {
    if (closing_.load() || platform::WaitLimitPassed()) return nullptr;
    diag::TraceLine(
        "Pool<type>::_allocate: Enter m_freeList=%d, m_inUseList=%d, timeout=%d, bGetFromBack=%d\n",
        FreeCount(), InUseCount(), timeout_s, from_back ? 1 : 0);
    const auto start = std::chrono::steady_clock::now();
    std::int64_t wait_start = 0;
    bool waited = false;
    std::unique_lock lock(mutex_, std::defer_lock);
    while (true) {
      lock.lock();
      if (!m_freeList.empty()) break;
      lock.unlock();
      if (_addOne()) continue;
      if (!waited) {
        wait_start = platform::MonotonicCounter();
        waited = true;
      }
      const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
          std::chrono::steady_clock::now() - start);
      // The module's stop ends the wait early (a wait slice begun before the
      // stop runs out first).
      if (elapsed.count() > timeout_s || platform::WaitLimitPassed()) return nullptr;
      lock.lock();
      returned_.wait_for(lock, platform::CutToWaitLimit(kWaitSlice), [this] { return !m_freeList.empty(); });
      lock.unlock();
    }
    std::unique_ptr<T> object;
    if (from_back) {
      object = std::move(m_freeList.back());
      m_freeList.pop_back();
    } else {
      object = std::move(m_freeList.front());
      m_freeList.pop_front();
    }
    T* raw = object.get();
    m_inUseList.emplace(raw, std::move(object));
    SyncCounts();
    lock.unlock();
    if (waited) {
      const std::int64_t ticks = platform::MonotonicCounter() - wait_start;
      statistics_.RecordWait(static_cast<std::int32_t>(ticks * 1000 / platform::kCounterFrequency));
    }
    diag::TraceLine(
        "Pool<type>::_allocate: Exit m_freeList=%d, m_inUseList=%d, timeout=%d, bGetFromBack=%d, "
        "pObj=%08lX\n",
        FreeCount(), InUseCount(), timeout_s, from_back ? 1 : 0, Address(raw));
    return raw;
  }

  const std::shared_ptr<FactoryInterface<T>> factory_;
  const PoolOptions options_;
  PoolStatistics statistics_;
  std::atomic<bool> closing_{false};
  std::mutex mutex_;
  std::deque<std::unique_ptr<T>> m_freeList;          // guarded by mutex_; newest first
  std::map<T*, std::unique_ptr<T>> m_inUseList;       // guarded by mutex_
  std::atomic<int> free_count_{0};
  std::atomic<int> in_use_count_{0};
  std::condition_variable returned_;  // with mutex_: the free list gained an object
};

}  // namespace Generic
