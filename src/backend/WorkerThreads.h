// Threads for pending requests. Every job gets a thread at once, as if each
// had its own new thread (a job may wait for the back end for minutes, so
// nothing queues behind another), but a thread that finished its job waits a
// while for the next one instead of ending: creating a thread per request
// costs more than the rest of a chat poll.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class WorkerThreads {
 public:
  explicit WorkerThreads(std::chrono::seconds idle_limit = std::chrono::seconds(30)) : idle_limit_(idle_limit) {}
  // Ends the idle threads and waits for them; busy ones end after their job.
  ~WorkerThreads();
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Runs job on an idle thread or a new one; false when no thread could be
  // started (the job has not run and will not).
  [[nodiscard]] bool Run(std::function<void()> job);

 private:
  void Work(std::function<void()> job);

  const std::chrono::seconds idle_limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable gone_;
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_; never more than idle_
  int idle_ = 0;                            // guarded by mutex_
  int threads_ = 0;                         // guarded by mutex_
  bool stopping_ = false;                   // guarded by mutex_
};
