#include "backend/WorkerThreads.h"

#include <algorithm>
#include <system_error>

void WorkerThreads::JoinFinished(std::unique_lock<std::mutex>& lock) {
  std::vector<std::thread> done;
  done.swap(finished_);
  lock.unlock();
  for (auto& thread : done) thread.join();
  lock.lock();
}

void WorkerThreads::Hand(Slot& slot, std::function<void()> job, bool stop) {
  {
    std::lock_guard lock(slot.mutex);
    slot.job = std::move(job);
    slot.stop = stop;
    slot.handed = true;
  }
  slot.wake.notify_one();
}

bool WorkerThreads::Run(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  if (!finished_.empty()) JoinFinished(lock);
  stopping_ = false;
  if (!idle_.empty()) {
    // The thread idle the shortest time: its stack is still warm.
    Slot* slot = idle_.back();
    idle_.pop_back();
    lock.unlock();
    Hand(*slot, std::move(job), false);
    return true;
  }
  try {
    std::thread thread(&WorkerThreads::Work, this, std::move(job));
    const auto id = thread.get_id();
    running_.emplace(id, std::move(thread));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

int WorkerThreads::Stop(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  // Handed under mutex_: a parked thread leaves only after taking mutex_, so
  // its slot is still there.
  for (Slot* slot : idle_) Hand(*slot, nullptr, true);
  idle_.clear();
  gone_.wait_for(lock, limit, [this] { return running_.empty(); });
  JoinFinished(lock);
  const int stuck = static_cast<int>(running_.size());
  for (auto& [id, thread] : running_) thread.detach();
  running_.clear();
  return stuck;
}

int WorkerThreads::IdleCount() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(idle_.size());
}

bool WorkerThreads::Park(Slot& slot, std::function<void()>& job) {
  std::unique_lock lock(slot.mutex);
  if (!slot.wake.wait_for(lock, idle_limit_, [&slot] { return slot.handed; })) {
    lock.unlock();
    {
      std::lock_guard pool_lock(mutex_);
      const auto self = std::find(idle_.begin(), idle_.end(), &slot);
      if (self != idle_.end()) {
        idle_.erase(self);
        return false;
      }
    }
    // Run or Stop took this slot just now; what it hands over is on its way.
    lock.lock();
    slot.wake.wait(lock, [&slot] { return slot.handed; });
  }
  slot.handed = false;
  job = std::move(slot.job);
  return !slot.stop;
}

void WorkerThreads::Leave(std::unique_lock<std::mutex>& lock) {
  // Hand the thread object over for joining; it may already have been
  // detached by a Stop that gave up waiting.
  const auto self = running_.find(std::this_thread::get_id());
  if (self != running_.end()) {
    finished_.push_back(std::move(self->second));
    running_.erase(self);
  }
  gone_.notify_all();
  lock.unlock();
}

void WorkerThreads::Work(std::function<void()> job) {
  Slot slot;
  while (true) {
    job();
    job = nullptr;
    {
      std::unique_lock lock(mutex_);
      if (stopping_) return Leave(lock);
      idle_.push_back(&slot);
    }
    if (!Park(slot, job)) {
      std::unique_lock lock(mutex_);
      return Leave(lock);
    }
  }
}
