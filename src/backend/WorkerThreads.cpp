#include "backend/WorkerThreads.h"

#include <system_error>

void WorkerThreads::JoinFinished(std::unique_lock<std::mutex>& lock) {
  std::vector<std::thread> done;
  done.swap(finished_);
  lock.unlock();
  for (auto& thread : done) thread.join();
  lock.lock();
}

bool WorkerThreads::Run(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  if (!finished_.empty()) JoinFinished(lock);
  stopping_ = false;
  if (static_cast<int>(jobs_.size()) < idle_) {
    jobs_.push_back(std::move(job));
    wake_.notify_one();
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
  wake_.notify_all();
  gone_.wait_for(lock, limit, [this] { return running_.empty(); });
  JoinFinished(lock);
  const int stuck = static_cast<int>(running_.size());
  for (auto& [id, thread] : running_) thread.detach();
  running_.clear();
  return stuck;
}

void WorkerThreads::Work(std::function<void()> job) {
  while (true) {
    job();
    job = nullptr;
    std::unique_lock lock(mutex_);
    ++idle_;
    const bool got_job = wake_.wait_for(lock, idle_limit_, [this] { return !jobs_.empty() || stopping_; }) &&
                         !jobs_.empty() && !stopping_;
    --idle_;
    if (!got_job) {
      // Hand the thread object over for joining; it may already have been
      // detached by a Stop that gave up waiting.
      const auto self = running_.find(std::this_thread::get_id());
      if (self != running_.end()) {
        finished_.push_back(std::move(self->second));
        running_.erase(self);
      }
      gone_.notify_all();
      return;
    }
    job = std::move(jobs_.front());
    jobs_.pop_front();
  }
}
