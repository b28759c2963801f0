#include "host/PendingRequests.h"

#include <poll.h>

#include "host/HostRequest.h"

namespace host {
namespace {

// How long a request's memory outlives the module's done-with-session, for
// module threads that touch it once more on their way out.
constexpr auto kRetireGrace = std::chrono::seconds(2);
constexpr auto kWatchInterval = std::chrono::milliseconds(200);
// How long shutdown, past the grace, waits for the library to finish the
// requests it answers itself.
constexpr auto kAnswerBound = std::chrono::seconds(10);

}  // namespace

PendingRequests::~PendingRequests() {
  {
    std::lock_guard lock(mutex_);
    stop_watchdog_ = true;
  }
  watchdog_wake_.notify_all();
  if (watchdog_.joinable()) watchdog_.join();
}

void PendingRequests::StartWatchdog() { watchdog_ = std::thread(&PendingRequests::Watch, this); }

void PendingRequests::RequestOpened() {
  std::lock_guard lock(mutex_);
  ++open_requests_;
}

void PendingRequests::RequestCompleted(const HostRequest* request) {
  std::shared_ptr<HostRequest> forgotten;  // released after the lock
  std::lock_guard lock(mutex_);
  --open_requests_;
  // A resumed connection the library closed without calling again must not
  // keep the shutdown waiting for it.
  if (const auto found = held_.find(request); found != held_.end()) {
    forgotten = std::move(found->second);
    held_.erase(found);
  }
  NotifyShutdown();
}

bool PendingRequests::Hold(const std::shared_ptr<HostRequest>& request) {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  held_.emplace(request.get(), request);
  if (shutting_down_.load()) {
    held_since_answered_ = true;
    changed_.notify_all();
  }
  return true;
}

void PendingRequests::Resumed(const HostRequest* request) {
  std::lock_guard lock(mutex_);
  held_.erase(request);
  NotifyShutdown();
}

void PendingRequests::ModuleTook(const HostRequest* request) {
  std::lock_guard lock(mutex_);
  in_module_.insert(request);
}

void PendingRequests::ModuleReleased(const HostRequest* request) {
  std::lock_guard lock(mutex_);
  in_module_.erase(request);
}

void PendingRequests::Retire(std::shared_ptr<HostRequest> request) {
  std::lock_guard lock(mutex_);
  in_module_.erase(request.get());
  retired_.emplace_back(Clock::now(), std::move(request));
}

int PendingRequests::HeldCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(held_.size());
}

int PendingRequests::ModuleRequestsInProgress() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(in_module_.size());
}

// Waking a waiter on every finished request costs the request path a futex
// call for nothing until Drain waits.
void PendingRequests::NotifyShutdown() {
  if (shutting_down_.load()) changed_.notify_all();
}

std::vector<std::shared_ptr<HostRequest>> PendingRequests::HeldRequests() const {
  std::vector<std::shared_ptr<HostRequest>> held;
  held.reserve(held_.size());
  for (const auto& entry : held_) held.push_back(entry.second);
  return held;
}

void PendingRequests::Watch() {
  std::unique_lock lock(mutex_);
  while (!stop_watchdog_) {
    watchdog_wake_.wait_for(lock, kWatchInterval);
    const auto now = Clock::now();
    while (!retired_.empty() && now - retired_.front().first > kRetireGrace) retired_.pop_front();
    auto pending = HeldRequests();
    lock.unlock();
    for (const auto& request : pending) CheckPending(*request, now);
    pending.clear();
    lock.lock();
  }
}

void PendingRequests::CheckPending(HostRequest& request, Clock::time_point now) const {
  if (now - request.pending_since() > limits_.pending_timeout) {
    request.ForceAnswer(504, false);  // counted where it is queued, before the client can see it
    return;
  }
  pollfd watch{request.fd(), POLLRDHUP, 0};
  if (request.fd() >= 0 && poll(&watch, 1, 0) > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
    request.ForceAnswer(499, true);  // the client went away: just close
  }
}

void PendingRequests::AnswerHeld(std::unique_lock<std::mutex>& lock) {
  held_since_answered_ = false;
  auto held = HeldRequests();
  lock.unlock();
  for (const auto& request : held) request->ForceAnswer(503, false);
  held.clear();
  lock.lock();
}

void PendingRequests::StopWatchdog(std::unique_lock<std::mutex>& lock) {
  stop_watchdog_ = true;
  watchdog_wake_.notify_all();
  lock.unlock();
  if (watchdog_.joinable()) watchdog_.join();
  lock.lock();
}

void PendingRequests::Drain() {
  shutting_down_ = true;
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limits_.shutdown_grace, [this] { return open_requests_ == 0; });
  // A request still inside the module may turn pending at any time; each one
  // is answered as it comes, until the library reports every request done.
  const auto deadline = Clock::now() + kAnswerBound;
  do {
    AnswerHeld(lock);
  } while (changed_.wait_until(lock, deadline, [this] { return open_requests_ == 0 || held_since_answered_; }) &&
           open_requests_ > 0);
  closed_ = true;
  AnswerHeld(lock);
  StopWatchdog(lock);
}

}  // namespace host
