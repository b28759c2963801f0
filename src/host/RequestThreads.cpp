#include "host/RequestThreads.h"

#include <system_error>
#include <thread>
#include <utility>

namespace host {

RequestThreads::RequestThreads(Limits limits) : limits_(limits) {}

RequestThreads::~RequestThreads() {
  // Threads still count on this object's members on their way out.
  std::unique_lock lock(mutex_);
  stopping_ = true;
  work_ready_.notify_all();
  thread_ended_.wait(lock, [this] { return threads_ == 0; });
}

bool RequestThreads::Post(std::function<void()> work) {
  std::unique_lock lock(mutex_);
  if (stopping_) return false;
  work_.push_back(std::move(work));
  // A thread is started only when none is idle: one that is busy may be
  // blocked for long.
  if (idle_ >= work_.size() || threads_ >= limits_.max_threads) {
    lock.unlock();
    work_ready_.notify_one();
    return true;
  }
  ++threads_;
  lock.unlock();
  try {
    // Detached: a thread blocked in the module at shutdown must not keep the
    // process from ending; Stop counts the threads instead of joining them.
    std::thread(&RequestThreads::Run, this).detach();
  } catch (const std::system_error&) {
    // Out of threads: the work waits for a busy one, within the watchdog's
    // bound on the request.
    lock.lock();
    --threads_;
  }
  return true;
}

void RequestThreads::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (work_.empty()) {
      if (stopping_) break;
      ++idle_;
      const bool woken = work_ready_.wait_for(lock, limits_.idle_exit, [this] { return !work_.empty() || stopping_; });
      --idle_;
      if (!woken && threads_ > limits_.min_threads) break;
      continue;
    }
    auto work = std::move(work_.front());
    work_.pop_front();
    lock.unlock();
    work();
    work = nullptr;  // whatever it holds goes before the count says this thread is free
    lock.lock();
  }
  --threads_;
  thread_ended_.notify_all();
}

unsigned RequestThreads::Stop(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  work_ready_.notify_all();
  thread_ended_.wait_for(lock, limit, [this] { return threads_ == 0; });
  return threads_;
}

unsigned RequestThreads::threads() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

}  // namespace host
