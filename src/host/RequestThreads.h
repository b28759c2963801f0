// The threads that call into the module. A module call may block for as long
// as its back end makes it (waiting for a pooled connection, a connect, a
// synchronous exchange), so these are apart from the library's connection
// threads, and the pool grows while every thread is busy: a blocked call
// never holds up a request that needs no back end, nor queues other clients'
// requests behind it. Threads beyond the minimum end after idling a while.
//
// Threads: Post from any thread; Stop from the main thread, once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace host {

class RequestThreads {
 public:
  struct Limits {
    unsigned min_threads;                 // kept even when idle
    unsigned max_threads;                 // beyond this, work waits for a thread
    std::chrono::milliseconds idle_exit;  // a thread above the minimum ends after idling this long
  };

  explicit RequestThreads(Limits limits);
  // Stops if Stop was not called.
  ~RequestThreads();
  RequestThreads(const RequestThreads&) = delete;
  RequestThreads& operator=(const RequestThreads&) = delete;

  // Runs work on a request thread. False once stopping: the work did not run.
  [[nodiscard]] bool Post(std::function<void()> work);

  // Runs what was posted, then waits up to limit for busy threads to finish.
  // A thread still busy after that (blocked in the module) is left to finish
  // on its own; returns how many were.
  unsigned Stop(std::chrono::milliseconds limit);

  unsigned threads() const;

 private:
  void Run();

  const Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable thread_ended_;
  std::deque<std::function<void()>> work_;  // guarded by mutex_
  unsigned threads_ = 0;                    // running threads; guarded by mutex_
  unsigned idle_ = 0;                       // of those, waiting for work; guarded by mutex_
  bool stopping_ = false;                   // guarded by mutex_
};

}  // namespace host
