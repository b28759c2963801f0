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
// Threads are joined, never detached: module code must not run after the
// module is unloaded, and a joined thread has left it for certain.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

class WorkerThreads {
 public:
  explicit WorkerThreads(std::chrono::seconds idle_limit = std::chrono::seconds(30)) : idle_limit_(idle_limit) {}
  ~WorkerThreads() { Stop(std::chrono::seconds(10)); }
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
  // Where an idle thread waits; lives on that thread's stack.
  struct Slot {
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> job;  // guarded by mutex
    bool handed = false;        // a job or the stop was handed over; guarded by mutex
    bool stop = false;          // guarded by mutex
  };

  void Work(std::function<void()> job);
  // Parks the calling thread until a job comes (true, job set) or it should
  // end (false).
  bool Park(Slot& slot, std::function<void()>& job);
  static void Hand(Slot& slot, std::function<void()> job, bool stop);
  void Leave(std::unique_lock<std::mutex>& lock);
  void JoinFinished(std::unique_lock<std::mutex>& lock);

  const std::chrono::seconds idle_limit_;
  std::mutex mutex_;
  std::condition_variable gone_;
  std::vector<Slot*> idle_;                           // guarded by mutex_; most recently idle last
  bool stopping_ = false;                             // guarded by mutex_
  std::map<std::thread::id, std::thread> running_;    // guarded by mutex_
  std::vector<std::thread> finished_;                 // guarded by mutex_; left Work, to be joined
};
