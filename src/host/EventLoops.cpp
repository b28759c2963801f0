#include "host/EventLoops.h"

#include <algorithm>
#include <cassert>
#include <system_error>

#include <boost/asio/post.hpp>

#include "host/RequestMetrics.h"
#include "host/ThreadActivity.h"

namespace host {

namespace asio = boost::asio;

namespace {

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The loop this thread runs now, and whether a call handed it on.
thread_local void* t_loop = nullptr;
thread_local bool t_lost = false;

// The loop of the module call this thread is inside, if any, and the work
// its calls left (EventLoops::AfterCall), oldest first.
struct AfterCallEntry {
  EventLoops::AfterCallWork work;
  std::shared_ptr<void> first;
  std::shared_ptr<void> second;
};
thread_local void* t_call_loop = nullptr;
thread_local std::vector<AfterCallEntry> t_after_call;

}  // namespace

EventLoops::EventLoops(Limits limits) : limits_(limits) {
  for (unsigned i = 0; i < std::max(1u, limits_.loops); ++i) {
    loops_.push_back(std::make_unique<Loop>());
    loops_.back()->owner = this;
  }
}

EventLoops::~EventLoops() {
  Stop(std::chrono::milliseconds(2000));
  std::unique_lock lock(mutex_);
  JoinEnded(lock);
  // Still inside a module call: the owner keeps this object for it (see Stop).
  for (auto& runner : runners_) runner.detach();
}

void EventLoops::Start() {
  std::lock_guard lock(mutex_);
  for (auto& loop : loops_) StartThreadLocked(loop.get());
  watchdog_ = std::thread(&EventLoops::Watch, this);
}

void EventLoops::StartThreadLocked(Loop* loop) {
  runners_.reserve(runners_.size() + 1);  // so that the thread, once started, is kept
  runners_.emplace_back(&EventLoops::Run, this, loop);
  ++threads_;
}

void EventLoops::JoinEnded(std::unique_lock<std::mutex>& lock) {
  std::vector<std::thread> ended;
  for (const std::thread::id id : ended_) {
    const auto runner =
        std::find_if(runners_.begin(), runners_.end(), [id](const auto& thread) { return thread.get_id() == id; });
    if (runner == runners_.end()) continue;
    ended.push_back(std::move(*runner));
    runners_.erase(runner);
  }
  ended_.clear();
  if (ended.empty()) return;
  lock.unlock();
  for (auto& thread : ended) thread.join();
  lock.lock();
}

unsigned EventLoops::Stop(std::chrono::milliseconds wait) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return stuck_;
    stopping_ = true;
  }
  for (auto& loop : loops_) {
    loop->work.reset();
    loop->context.stop();
  }
  spare_wake_.notify_all();
  watchdog_wake_.notify_all();
  if (watchdog_.joinable()) watchdog_.join();
  std::unique_lock lock(mutex_);
  threads_changed_.wait_for(lock, wait, [this] { return threads_ == stuck_; });
  JoinEnded(lock);
  return threads_;
}

bool EventLoops::JoinLeftThreads(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  threads_changed_.wait_for(lock, wait, [this] { return threads_ == 0; });
  JoinEnded(lock);
  return threads_ == 0;
}

unsigned EventLoops::threads() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

EventLoops::Call EventLoops::BeginCall() {
  auto* loop = static_cast<Loop*>(t_loop);
  if (loop == nullptr) return {};
  const std::int64_t now = NowNs();
  loop->call_since.store(now, std::memory_order_seq_cst);
  if (loop->owner->watchdog_asleep_.load(std::memory_order_seq_cst)) loop->owner->WakeWatchdog();
  const Call call{loop, now, t_call_loop, t_after_call.size()};
  t_call_loop = loop;
  return call;
}

bool EventLoops::EndCall(const Call& call) {
  const std::int64_t now = NowNs();
  HostRequestMetrics().RecordModuleCall(now - call.started_ns);
  auto* loop = static_cast<Loop*>(call.loop);
  if (loop == nullptr) return true;
  t_call_loop = call.outer_loop;
  std::int64_t expected = call.started_ns;
  // Fails only when the watchdog handed the loop on (and its new thread may
  // since have made calls of its own).
  const bool kept = loop->call_since.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
  if (!kept) {
    t_lost = true;
    loop->owner->StuckCallReturned();
  }
  // Run in the order left; work run here may leave more only for an outer
  // call, after this call's.
  const std::size_t end = t_after_call.size();
  for (std::size_t i = call.after_from; i < end; ++i) {
    AfterCallEntry entry = std::move(t_after_call[i]);
    if (kept) {
      entry.work(entry.first.get(), entry.second.get());
    } else {
      asio::post(loop->context, [entry = std::move(entry)] { entry.work(entry.first.get(), entry.second.get()); });
    }
  }
  t_after_call.erase(t_after_call.begin() + static_cast<std::ptrdiff_t>(call.after_from),
                     t_after_call.begin() + static_cast<std::ptrdiff_t>(end));
  return kept;
}

bool EventLoops::InCallOn(const asio::execution_context& context) {
  const auto* loop = static_cast<const Loop*>(t_call_loop);
  return loop != nullptr && &loop->context == &context;
}

void EventLoops::AfterCall(AfterCallWork work, std::shared_ptr<void> first, std::shared_ptr<void> second) {
  assert(t_call_loop != nullptr);
  t_after_call.push_back({work, std::move(first), std::move(second)});
}

void EventLoops::StuckCallReturned() {
  std::lock_guard lock(mutex_);
  --stuck_;
  threads_changed_.notify_all();
}

void EventLoops::Run(Loop* loop) {
  while (loop != nullptr) {
    t_loop = loop;
    t_lost = false;
    loop->runner.store(CurrentThreadId(), std::memory_order_relaxed);
    // run_one is 0 once the loop is stopped (its work guard keeps it from
    // running out of work otherwise).
    while (!t_lost && loop->context.run_one() != 0) {
    }
    t_loop = nullptr;
    loop = NextLoop();
  }
  std::lock_guard lock(mutex_);
  --threads_;
  ended_.push_back(std::this_thread::get_id());
  threads_changed_.notify_all();
}

EventLoops::Loop* EventLoops::NextLoop() {
  std::unique_lock lock(mutex_);
  ++spares_;
  const bool woken =
      spare_wake_.wait_for(lock, limits_.spare_idle, [this] { return stopping_ || !handed_over_.empty(); });
  --spares_;
  if (stopping_ || !woken) return nullptr;
  Loop* loop = handed_over_.front();
  handed_over_.pop_front();
  return loop;
}

void EventLoops::Watch() {
  const std::int64_t stuck_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(limits_.stuck_after).count();
  const std::int64_t busy_stuck_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(limits_.busy_stuck_after).count();
  const std::int64_t quiet_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(limits_.quiet_before_sleep).count();
  // When a call was last seen inside the module; none yet, so it sleeps
  // until the first.
  std::int64_t last_seen = NowNs() - quiet_ns;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    JoinEnded(lock);  // spares that idled out
    const std::int64_t now = NowNs();
    std::int64_t next_look = now + stuck_ns;
    bool seen = false;
    for (auto& loop : loops_) {
      std::int64_t since = loop->call_since.load(std::memory_order_seq_cst);
      if (since <= 0) continue;
      seen = true;
      if (now - since < stuck_ns) {
        next_look = std::min(next_look, since + stuck_ns);
        continue;
      }
      // Looked at again after stuck_after: it may block meanwhile.
      if (now - since < busy_stuck_ns && ThreadIsRunnable(loop->runner.load(std::memory_order_relaxed))) continue;
      const bool spare_waits = spares_ > handed_over_.size();
      if (!spare_waits && threads_ >= limits_.max_threads) continue;  // the call holds its loop until it returns
      if (!loop->call_since.compare_exchange_strong(since, kTaken, std::memory_order_seq_cst)) continue;
      ++stuck_;
      HostRequestMetrics().RecordBlockingModuleCall();
      HandOverLocked(*loop);
    }
    if (seen) last_seen = now;
    if (now - last_seen < quiet_ns) {
      watchdog_wake_.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(next_look)));
      continue;
    }
    // Quiet for a while: sleep until a call begins. One that began before
    // the flag was up is seen by the look below; any later one wakes us.
    watchdog_asleep_.store(true, std::memory_order_seq_cst);
    const bool inside = std::any_of(loops_.begin(), loops_.end(), [](const auto& loop) {
      return loop->call_since.load(std::memory_order_seq_cst) > 0;
    });
    if (!inside) {
      watchdog_wake_.wait(lock, [this] { return stopping_ || !watchdog_asleep_.load(std::memory_order_relaxed); });
    }
    watchdog_asleep_.store(false, std::memory_order_relaxed);
    last_seen = NowNs();
  }
}

void EventLoops::WakeWatchdog() {
  {
    std::lock_guard lock(mutex_);
    if (!watchdog_asleep_.load(std::memory_order_relaxed)) return;
    watchdog_asleep_.store(false, std::memory_order_relaxed);
  }
  watchdog_wake_.notify_one();
}

void EventLoops::HandOverLocked(Loop& loop) {
  if (spares_ <= handed_over_.size()) {
    try {
      StartThreadLocked(&loop);
      return;
    } catch (const std::system_error&) {
      // No thread to be had: the loop waits for the first spare, at the
      // latest the stuck thread itself once its call returns.
    }
  }
  handed_over_.push_back(&loop);
  spare_wake_.notify_one();
}

}  // namespace host
