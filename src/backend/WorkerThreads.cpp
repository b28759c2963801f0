#include "backend/WorkerThreads.h"

#include <system_error>
#include <thread>

WorkerThreads::~WorkerThreads() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  wake_.notify_all();
  // Idle threads leave at once; a busy one leaves after its job, which may
  // take as long as an exchange: wait for the idle ones only.
  gone_.wait(lock, [this] { return idle_ == 0; });
}

bool WorkerThreads::Run(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (static_cast<int>(jobs_.size()) < idle_) {
      jobs_.push_back(std::move(job));
      wake_.notify_one();
      return true;
    }
    ++threads_;
  }
  try {
    std::thread(&WorkerThreads::Work, this, std::move(job)).detach();
    return true;
  } catch (const std::system_error&) {
    std::lock_guard lock(mutex_);
    --threads_;
    return false;
  }
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
      --threads_;
      gone_.notify_all();
      return;
    }
    job = std::move(jobs_.front());
    jobs_.pop_front();
  }
}
