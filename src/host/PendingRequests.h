// The registry of requests between the HTTP library and the module: how many
// requests the library has open, which are suspended as pending, which the
// module still works on, and which it finished a moment ago. Its watchdog
// answers pending requests that waited too long or whose client went away;
// Drain carries the host through shutdown until the library may be stopped:
// the library aborts when it is stopped with a connection still suspended.
//
// Threads: the library's threads report requests opening, completing and
// resuming and hold pending ones; module threads (through HostRequest) report
// taking and releasing requests; the main thread starts the watchdog and
// drains. Every call may come concurrently with the others; all state is
// guarded by mutex_. Requests are called back (ForceAnswer) without mutex_
// held, so a request may call in here while holding its own lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace host {

class HostRequest;

class PendingRequests {
 public:
  struct Limits {
    std::chrono::seconds pending_timeout;  // a pending request is answered 504 after this
    std::chrono::seconds shutdown_grace;   // pending requests may still finish in this
  };

  explicit PendingRequests(Limits limits) : limits_(limits) {}
  // Stops the watchdog if Drain did not.
  ~PendingRequests();
  PendingRequests(const PendingRequests&) = delete;
  PendingRequests& operator=(const PendingRequests&) = delete;

  // Main thread, once the library runs.
  void StartWatchdog();

  // The library's threads. A request is open from its request line until the
  // library reports it complete.
  void RequestOpened();
  // The library will not call again for request: it is neither open nor held.
  void RequestCompleted(const HostRequest* request);
  // Keeps a request that is about to be suspended as pending, with its
  // memory. False once Drain has closed the registry: the request must then
  // be answered at once instead of being suspended.
  [[nodiscard]] bool Hold(const std::shared_ptr<HostRequest>& request);
  // The library called again for a held request that was resumed.
  void Resumed(const HostRequest* request);

  // Module side, any thread: the module holds a request from the call into it
  // until it is done with the session or returned without pending.
  void ModuleTook(const HostRequest* request);
  void ModuleReleased(const HostRequest* request);
  // The module said it is done; keeps the request's memory for a grace time.
  void Retire(std::shared_ptr<HostRequest> request);
  // Requests the module has taken and not yet finished.
  int ModuleRequestsInProgress() const;
  // Requests held now. Any thread.
  int HeldCount() const;

  // Any thread; true from the start of Drain on.
  bool shutting_down() const { return shutting_down_.load(); }

  // Main thread, once: gives open requests the grace time; then answers 503
  // whatever is or turns pending until the library has finished every open
  // request, within a bound; then closes the registry, answers what is still
  // held and stops the watchdog. Afterwards no connection is suspended, nor
  // can one be, so the library may be stopped.
  void Drain();

 private:
  using Clock = std::chrono::steady_clock;

  void Watch();
  void CheckPending(HostRequest& request, Clock::time_point now) const;
  std::vector<std::shared_ptr<HostRequest>> HeldRequests() const;  // call with mutex_ held
  void NotifyShutdown();                                            // call with mutex_ held
  // Answers every held request 503; takes lock (on mutex_) and gives it back.
  void AnswerHeld(std::unique_lock<std::mutex>& lock);
  void StopWatchdog(std::unique_lock<std::mutex>& lock);

  const Limits limits_;
  // Set before Drain takes the lock, so that a change made under the lock is
  // never missed by Drain.
  std::atomic<bool> shutting_down_{false};

  mutable std::mutex mutex_;
  std::condition_variable changed_;        // for Drain; notified only once it began
  std::condition_variable watchdog_wake_;  // only to stop the watchdog
  std::unordered_map<const HostRequest*, std::shared_ptr<HostRequest>> held_;  // guarded by mutex_
  std::unordered_set<const HostRequest*> in_module_;                         // guarded by mutex_
  std::deque<std::pair<Clock::time_point, std::shared_ptr<HostRequest>>> retired_;  // guarded by mutex_
  bool stop_watchdog_ = false;  // guarded by mutex_
  int open_requests_ = 0;       // guarded by mutex_
  bool held_since_answered_ = false;  // during Drain; guarded by mutex_
  bool closed_ = false;               // nothing more is held; guarded by mutex_
  std::thread watchdog_;        // started and joined by the main thread
};

}  // namespace host
