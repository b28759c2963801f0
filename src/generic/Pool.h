// A thread-safe pool of expensive objects (connected sockets): borrowers take
// one with Get and give it back with Free or Fail. The pool keeps at least
// minPool objects, never more than maxPool, creates objects on demand in the
// calling thread, and lets a borrower wait a bounded time when it is
// exhausted.
//
// Borrowers that must not wait (those on an event loop) use ClaimOrQueue
// instead: they get an object at once, or room to create one themselves
// (without waiting, see Adopt), or a place in the queue, whose grant reaches
// them through their waiter's wake function. Waiting borrowers of Get queue
// in the same line: every object given back, and the room a broken one
// leaves, goes to the borrower that has waited longest. So the wake-ups are
// exactly the objects and rooms freed, and a waiter woken finds what it was
// woken for already its own.
//
// Lock discipline: mutex_ guards the lists, the queue and the count of rooms
// being filled, and is held only for list operations, never while the
// factory creates or destroys and never while a waiter is woken. The list
// sizes are mirrored in atomics for trace lines. Since the lock is held for
// microseconds, a wait for it needs no time limit.
#pragma once

#include <algorithm>
#include <array>
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
  using InUseList = std::map<T*, std::unique_ptr<T>>;

  static constexpr int kGetTimeoutSeconds = 10;
  // A waiting borrower looks at the clock and the module's stop this often.
  static constexpr auto kWaitSlice = std::chrono::milliseconds(2000);

  // What a borrower that does not wait got: an object (lent to it now), room
  // to create one (it must Adopt what it made or GiveUpRoom), nothing yet
  // (its waiter is queued), or nothing ever (the pool is closing).
  struct Claim {
    enum class Kind { kNone, kObject, kRoom, kClosed };
    Kind kind = Kind::kNone;
    T* object = nullptr;
  };
  // A borrower in the queue. The pool fills in claim when it grants, then
  // calls wake(context) on the granting thread, outside its lock; a waiter
  // of Get has no wake and is woken through woken. The borrower keeps the
  // waiter alive until it was granted or withdrawn.
  struct Waiter {
    Claim claim;
    void (*wake)(void* context) = nullptr;
    void* context = nullptr;
    std::condition_variable woken;
  };

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
      returned_.wait(lock, [this] { return m_inUseList.empty() && filling_ == 0; });
      idle.swap(m_freeList);
      SyncCounts();
    }
    for (auto& object : idle) factory_->Destroy(std::move(object));
  }

  T* Get(bool from_back) override {
    T* object = _allocate(kGetTimeoutSeconds, from_back);
    if (object != nullptr) statistics_.RecordRetrieval(InUseCount(), FreeCount());
    TraceGot(object);
    return object;
  }

  bool Free(T* object) override {
    diag::TraceLine("Pool<type>::Free:  Enter m_freeList=%d, m_inUseList=%d, pObj=%08lX\n",
                    FreeCount(), InUseCount(), Address(object));
    if (object == nullptr) return false;
    Wakeup wakeup;
    bool granted = false;
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
      // The longest waiter takes it over as it is: it stays lent.
      granted = GrantLocked({Claim::Kind::kObject, object}, wakeup);
      if (!granted) {
        m_freeList.push_front(std::move(found->second));
        KeepNodeLocked(m_inUseList.extract(found));
      }
      SyncCounts();
    }
    int gap = create_on_borrow_.load() ? 0 : options_.minPool - InUseCount() - FreeCount();
    diag::TraceLine("Pool<type>::Free: Adding to freeList %08lX - gap=%d\n", Address(object), gap);
    for (; gap > 0; --gap) (void)_addOne();
    if (closing_.load()) returned_.notify_all();
    WakeGranted(wakeup);
    statistics_.RecordReturn(InUseCount(), FreeCount());
    diag::TraceLine("Pool<type>::Free:  Exit m_freeList=%d, m_inUseList=%d\n", FreeCount(), InUseCount());
    return true;
  }

  bool Fail(T* object) override {
    diag::TraceLine("Pool<type>::Fail: Enter m_freeList=%d, m_inUseList=%d, pObj=%08lX\n",
                    FreeCount(), InUseCount(), Address(object));
    if (object == nullptr) return false;
    std::unique_ptr<T> broken;
    Wakeup wakeup;
    {
      std::lock_guard lock(mutex_);
      const auto found = m_inUseList.find(object);
      if (found == m_inUseList.end()) {
        diag::TraceLine("Pool<type>::Fail: NOT FOUND IN INUSELIST %08lX \n", Address(object));
        return false;
      }
      broken = std::move(found->second);
      KeepNodeLocked(m_inUseList.extract(found));
      // Borrowers that create their own objects fill the room themselves,
      // the longest waiter first.
      if (create_on_borrow_.load() && !closing_.load()) {
        if (GrantLocked({Claim::Kind::kRoom, nullptr}, wakeup)) ++filling_;
      }
      SyncCounts();
    }
    factory_->Destroy(std::move(broken));
    if (closing_.load()) {
      returned_.notify_all();
    } else if (!create_on_borrow_.load()) {
      diag::TraceLine("Pool<type>::Fail: Entering addOne %08lX \n", Address(object));
      (void)_addOne();
    }
    wakeup();
    statistics_.RecordBrokenReturn(InUseCount(), FreeCount());
    diag::TraceLine("Pool<type>::Fail: Exit m_freeList=%d, m_inUseList=%d\n", FreeCount(), InUseCount());
    return true;
  }

  PoolStatisticsBlock GetStats() const override { return statistics_.Snapshot(); }

  // The configured bound, not the number of objects there are now.
  int MaxSize() const { return options_.maxPool; }
  int FreeCount() const { return free_count_.load(std::memory_order_relaxed); }
  int InUseCount() const { return in_use_count_.load(std::memory_order_relaxed); }
  int WaiterCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(waiters_.size());
  }

  // From now on the pool creates no objects on behalf of Free and Fail: the
  // room a broken object leaves goes to the longest waiter, which creates
  // its object itself without waiting, and the pool is topped up by the
  // borrowers that find it empty. For borrowers on an event loop, where a
  // connect inside Free or Fail would hold the loop.
  void CreateOnBorrow() { create_on_borrow_.store(true); }

  // Never waits: see Claim. A queued waiter is granted later, or withdrawn.
  // may_create: room is a claim too (not after a creation that just failed:
  // as in Get, the borrower then waits for an object or a slice).
  Claim ClaimOrQueue(Waiter& waiter, bool from_back, bool may_create) {
    std::lock_guard lock(mutex_);
    waiter.claim = {};
    if (const Claim idle = ClaimIdleLocked(from_back); idle.kind != Claim::Kind::kNone) return idle;
    if (may_create && HasRoomLocked()) {
      ++filling_;
      return {Claim::Kind::kRoom, nullptr};
    }
    waiters_.push_back(&waiter);
    return {};
  }
  // An idle object at once, or kClosed, or kNone: then nothing was claimed
  // or queued, and the borrower may go on with ClaimOrQueue.
  Claim ClaimIdle(bool from_back) {
    std::lock_guard lock(mutex_);
    return ClaimIdleLocked(from_back);
  }
  // True when the waiter left the queue ungranted; false when it has been
  // granted (its wake is on its way, or done).
  bool Withdraw(Waiter& waiter) {
    std::lock_guard lock(mutex_);
    const auto found = std::find(waiters_.begin(), waiters_.end(), &waiter);
    if (found == waiters_.end()) return false;
    waiters_.erase(found);
    return true;
  }
  // Fills a room of a Claim with object, lent to the caller from now on;
  // null (object destroyed, room given up) when object is null or the pool
  // is closing.
  T* Adopt(std::unique_ptr<T> object) {
    T* raw = object.get();
    {
      std::lock_guard lock(mutex_);
      --filling_;
      if (raw != nullptr && !closing_.load()) {
        LendLocked(raw, std::move(object));
        SyncCounts();
      } else {
        raw = nullptr;
      }
    }
    if (object) factory_->Destroy(std::move(object));
    if (raw == nullptr) {
      returned_.notify_all();
      return nullptr;
    }
    statistics_.RecordRetrieval(InUseCount(), FreeCount());
    return raw;
  }
  void GiveUpRoom() { (void)Adopt(nullptr); }
  // The factory's own object, made on the calling thread (which may wait);
  // null when it failed or threw.
  std::unique_ptr<T> CreateObject() {
    try {
      return factory_->Create();
    } catch (const std::exception&) {
      return nullptr;
    }
  }
  const std::shared_ptr<FactoryInterface<T>>& Factory() const { return factory_; }
  // For borrowers that do their own waiting: what a wait of theirs took.
  void RecordWait(std::int32_t milliseconds) { statistics_.RecordWait(milliseconds); }

  // The lines a blocking Get writes, for a borrower that does not wait to
  // write where Get would, so that the trace reads the same whichever kind
  // borrowed: the start of a borrow, the start of a creation for it, the
  // object created (null: it failed; it is lent already, where Get's own
  // creation stays idle until taken), and the end of the borrow.
  void TraceBorrowStart(bool from_back) const {
    diag::TraceLine("Pool<type>::_allocate: Enter m_freeList=%d, m_inUseList=%d, timeout=%d, bGetFromBack=%d\n",
                    FreeCount(), InUseCount(), kGetTimeoutSeconds, from_back ? 1 : 0);
  }
  void TraceCreateStart() const {
    diag::TraceLine("Pool<type>::_addOne: Enter m_freeList=%d, m_inUseList=%d, maxPool=%d\n", FreeCount(),
                    InUseCount(), options_.maxPool);
  }
  void TraceCreated(const T* object) const {
    diag::TraceLine("Pool<type>::_addOne: new pObj=%08lX\n", Address(object));
    if (object != nullptr) {
      diag::TraceLine("Pool<type>::_addOne: Exit m_freeList=%d, m_inUseList=%d, pObj=%08lX\n", FreeCount() + 1,
                      InUseCount() - 1, Address(object));
    } else {
      TraceNotCreated();
    }
  }
  void TraceBorrowEnd(bool from_back, const T* object) const {
    if (object != nullptr) TraceAllocated(kGetTimeoutSeconds, from_back, object);
    TraceGot(object);
  }

 private:
  static unsigned long Address(const T* object) {
    return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(object));
  }

  void TraceGot(const T* object) const {
    diag::TraceLine("Pool<type>::Get: m_freeList=%d, m_inUseList=%d, pObj=%08lX\n", FreeCount(), InUseCount(),
                    Address(object));
  }
  void TraceAllocated(int timeout_s, bool from_back, const T* object) const {
    diag::TraceLine(
        "Pool<type>::_allocate: Exit m_freeList=%d, m_inUseList=%d, timeout=%d, bGetFromBack=%d, "
        "pObj=%08lX\n",
        FreeCount(), InUseCount(), timeout_s, from_back ? 1 : 0, Address(object));
  }
  void TraceNotCreated() const {
    diag::TraceLine("Pool<type>::_addOne: ERROR pObj is null so no socket created\n");
  }
  void TraceNoRoom() const {
    diag::TraceLine(
        "Pool<type>::_addOne: ERROR either pool is at max size, or cannot create any. "
        "m_freeList=%d, m_inUseList=%d\n",
        FreeCount(), InUseCount());
  }

  // The wake of a granted waiter that does not wait in Get, called outside
  // mutex_; it may end the waiter, so it holds nothing of it.
  struct Wakeup {
    void (*wake)(void* context) = nullptr;
    void* context = nullptr;
    void operator()() const {
      if (wake != nullptr) wake(context);
    }
  };

  // Outside mutex_, for an object granted: a waiter of Get counts its own
  // retrieval, one woken by callback has it counted here.
  void WakeGranted(const Wakeup& wakeup) {
    if (wakeup.wake == nullptr) return;
    wakeup();
    statistics_.RecordRetrieval(InUseCount(), FreeCount());
  }

  // Under mutex_: hands claim to the longest waiter and takes it off the
  // queue; false when nobody waits. A waiter of Get is woken here, under the
  // lock, since once it sees its claim it may return and end its waiter.
  bool GrantLocked(Claim claim, Wakeup& wakeup) {
    if (waiters_.empty()) return false;
    Waiter* waiter = waiters_.front();
    waiters_.pop_front();
    waiter->claim = claim;
    if (waiter->wake != nullptr) {
      wakeup = {waiter->wake, waiter->context};
    } else {
      waiter->woken.notify_one();
    }
    return true;
  }

  // Under mutex_.
  Claim ClaimIdleLocked(bool from_back) {
    if (closing_.load()) return {Claim::Kind::kClosed, nullptr};
    if (m_freeList.empty()) return {};
    T* object = TakeFreeLocked(from_back);
    statistics_.RecordRetrieval(InUseCount(), FreeCount());
    return {Claim::Kind::kObject, object};
  }
  bool HasRoomLocked() const {
    return static_cast<int>(m_freeList.size() + m_inUseList.size()) + filling_ < options_.maxPool;
  }
  T* TakeFreeLocked(bool from_back) {
    std::unique_ptr<T> object;
    if (from_back) {
      object = std::move(m_freeList.back());
      m_freeList.pop_back();
    } else {
      object = std::move(m_freeList.front());
      m_freeList.pop_front();
    }
    T* raw = object.get();
    LendLocked(raw, std::move(object));
    SyncCounts();
    return raw;
  }

  // Under mutex_: an object lent goes into the list of lent ones in the
  // node a returned one left, when there is one, so that lending and
  // taking back cost no allocation.
  void LendLocked(T* raw, std::unique_ptr<T> object) {
    if (spare_node_count_ == 0) {
      m_inUseList.emplace(raw, std::move(object));
      return;
    }
    typename InUseList::node_type& node = spare_nodes_[--spare_node_count_];
    node.key() = raw;
    node.mapped() = std::move(object);
    m_inUseList.insert(std::move(node));
  }
  void KeepNodeLocked(typename InUseList::node_type node) {
    if (spare_node_count_ < spare_nodes_.size()) spare_nodes_[spare_node_count_++] = std::move(node);
  }

  // Under mutex_.
  void SyncCounts() {
    free_count_.store(static_cast<int>(m_freeList.size()), std::memory_order_relaxed);
    in_use_count_.store(static_cast<int>(m_inUseList.size()), std::memory_order_relaxed);
  }

  bool _addOne() {
    TraceCreateStart();
    bool room = false;
    {
      std::lock_guard lock(mutex_);
      room = HasRoomLocked();
      if (room) ++filling_;
    }
    if (room) {
      std::unique_ptr<T> object = CreateObject();
      T* raw = object.get();
      diag::TraceLine("Pool<type>::_addOne: new pObj=%08lX\n", Address(raw));
      Wakeup wakeup;
      {
        std::lock_guard lock(mutex_);
        --filling_;
        if (object) {
          if (GrantLocked({Claim::Kind::kObject, raw}, wakeup)) {
            LendLocked(raw, std::move(object));
          } else {
            m_freeList.push_front(std::move(object));
          }
          SyncCounts();
        }
      }
      if (raw != nullptr) {
        diag::TraceLine("Pool<type>::_addOne: Exit m_freeList=%d, m_inUseList=%d, pObj=%08lX\n",
                        FreeCount(), InUseCount(), Address(raw));
        WakeGranted(wakeup);
        return true;
      }
      if (closing_.load()) returned_.notify_all();
      TraceNotCreated();
    }
    TraceNoRoom();
    return false;
  }

  T* _allocate(int timeout_s, bool from_back) {
    if (closing_.load() || platform::WaitLimitPassed()) return nullptr;
    TraceBorrowStart(from_back);
    const auto start = std::chrono::steady_clock::now();
    std::int64_t wait_start = 0;
    bool waited = false;
    T* raw = nullptr;
    Waiter waiter;
    // The module's stop ends the wait early (a wait slice begun before the
    // stop runs out first).
    const auto out_of_time = [&] {
      const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
      return elapsed.count() > timeout_s || platform::WaitLimitPassed();
    };
    std::unique_lock lock(mutex_, std::defer_lock);
    while (raw == nullptr) {
      lock.lock();
      if (!m_freeList.empty()) {
        raw = TakeFreeLocked(from_back);
        break;
      }
      lock.unlock();
      // After a wait slice only: a creation that fails slowly must not be
      // tried again once the borrow is out of time.
      if (waited && out_of_time()) return nullptr;
      if (_addOne()) continue;
      if (!waited) {
        wait_start = platform::MonotonicCounter();
        waited = true;
      }
      if (out_of_time()) return nullptr;
      lock.lock();
      if (!m_freeList.empty()) {  // given back meanwhile; the loop takes it
        lock.unlock();
        continue;
      }
      waiter.claim = {};
      waiters_.push_back(&waiter);
      waiter.woken.wait_for(lock, platform::CutToWaitLimit(kWaitSlice),
                            [&] { return waiter.claim.kind != Claim::Kind::kNone || closing_.load(); });
      if (waiter.claim.kind == Claim::Kind::kObject) {
        raw = waiter.claim.object;  // lent to us by whoever gave it back
      } else {
        if (waiter.claim.kind == Claim::Kind::kRoom) --filling_;  // the loop's _addOne fills it
        const auto found = std::find(waiters_.begin(), waiters_.end(), &waiter);
        if (found != waiters_.end()) waiters_.erase(found);
      }
      lock.unlock();
    }
    if (lock.owns_lock()) lock.unlock();
    if (waited) {
      const std::int64_t ticks = platform::MonotonicCounter() - wait_start;
      statistics_.RecordWait(static_cast<std::int32_t>(ticks * 1000 / platform::kCounterFrequency));
    }
    TraceAllocated(timeout_s, from_back, raw);
    return raw;
  }

  const std::shared_ptr<FactoryInterface<T>> factory_;
  const PoolOptions options_;
  PoolStatistics statistics_;
  std::atomic<bool> closing_{false};
  std::atomic<bool> create_on_borrow_{false};
  mutable std::mutex mutex_;
  std::deque<std::unique_ptr<T>> m_freeList;          // guarded by mutex_; newest first
  InUseList m_inUseList;                              // guarded by mutex_
  // Nodes of m_inUseList whose objects came back, empty, for the next ones lent.
  std::array<typename InUseList::node_type, 64> spare_nodes_;  // guarded by mutex_
  std::size_t spare_node_count_ = 0;                           // guarded by mutex_
  std::deque<Waiter*> waiters_;                       // guarded by mutex_; longest first
  int filling_ = 0;                                   // guarded by mutex_: rooms being created
  std::atomic<int> free_count_{0};
  std::atomic<int> in_use_count_{0};
  std::condition_variable returned_;  // with mutex_: the last lent object or room came back
};

}  // namespace Generic
