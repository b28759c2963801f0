// Threads for pending requests. Every job gets a thread at once, as if each
// had its own new thread (a job may wait for the back end for minutes, so
// nothing queues behind another), but a thread that finished its job waits a
// while for the next one instead of ending: creating a thread per request
// costs more than the rest of a chat poll.
//
// An idle thread parks on a slot of its own and the job is handed to that
// slot directly: with one shared queue and condition variable, every hand-over
// contended for the same lock with every thread going idle.
//
// Stop joins every thread that ends within its limit: module code must not
// run after the module is unloaded, and a joined thread has left it for
// certain. A thread whose job outlives the limit is detached, since ending it
// by force is unsafe; it co-owns the bookkeeping it touches after its job, so
// it may finish after this object is gone.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

// Not needed here since the threads' state moved out of this header, but
// includers (the extension among them) have long received these through it.
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

class WorkerThreads {
 public:
  explicit WorkerThreads(std::chrono::seconds idle_limit = std::chrono::seconds(30));
  ~WorkerThreads();
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Runs job on an idle thread or a new one; false when no thread could be
  // started (the job has not run and will not).
  [[nodiscard]] bool Run(std::function<void()> job);

  // Ends idle threads at once and waits up to limit for busy ones to finish
  // their job, joining every thread that ended. Returns how many are still
  // busy (detached: their jobs outlived the limit). Later Run calls start
  // threads again.
  int Stop(std::chrono::milliseconds limit);

  // Threads parked and waiting for a job.
  int IdleCount();

 private:
  // What the threads share with this object; each thread holds a reference.
  struct State;

  std::shared_ptr<State> state_;
};
