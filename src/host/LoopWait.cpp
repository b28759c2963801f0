#include "host/LoopWait.h"

#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <sys/epoll.h>

#include <chrono>
#include <utility>

#include "host/EventLoops.h"
#include "host/ModuleSocketWatch.h"

namespace host {

namespace asio = boost::asio;

namespace {

ModuleSocketWatch& SocketWatchOf(const asio::any_io_executor& executor) {
  return asio::use_service<ModuleSocketWatch>(asio::query(executor, asio::execution::context));
}

}  // namespace

LoopWait::LoopWait(asio::any_io_executor executor)
    : executor_(executor), sockets_(SocketWatchOf(executor)), timer_(executor) {}

// A socket still armed reports to no one: its waiter is gone.
LoopWait::~LoopWait() = default;

std::uint64_t LoopWait::NextGenerationLocked() {
  armed_.reset();
  return ++generation_;
}

bool LoopWait::Arm(int fd, std::uint32_t events, std::int64_t deadline_ns, QX_LOOP_CALLBACK callback,
                   void* context) {
  if (callback == nullptr) return false;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    generation = NextGenerationLocked();
    armed_ = Armed{fd, events & (QX_LOOP_READABLE | QX_LOOP_WRITABLE), deadline_ns, callback, context};
  }
  // The descriptor and the timer belong to the loop; so does the callback.
  Post(generation, true, 0);
  return true;
}

void LoopWait::Cancel() {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    generation = NextGenerationLocked();
  }
  Post(generation, true, 0);  // finds nothing armed: lets go of the socket and the timer
}

void LoopWait::Close() {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
  }
  Cancel();
}

void LoopWait::Abandon() {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (abandoned_ || closed_) return;
    abandoned_ = true;
    if (!armed_) return;  // the next wait reports it
    generation = generation_;
  }
  Post(generation, false, QX_LOOP_ABANDONED);
}

void LoopWait::Post(std::uint64_t generation, bool arm, std::uint32_t events) {
  // A wait armed or let go inside a call on the loop (nearly every one) is
  // done as the call returns: then it is the latest generation that counts.
  const auto arm_latest = [](void* self, void*) { static_cast<LoopWait*>(self)->ArmLatest(); };
  if (arm && EventLoops::InCallOn(Context())) {
    EventLoops::AfterCall(arm_latest, shared_from_this());
    return;
  }
  asio::post(executor_, [self = shared_from_this(), generation, arm, events] {
    if (arm) {
      self->ArmOnLoop(generation);
    } else {
      (void)self->Fire(generation, events);
    }
  });
}

void LoopWait::ArmLatest() {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    generation = generation_;
  }
  ArmOnLoop(generation);
}

void LoopWait::ArmOnLoop(std::uint64_t generation) {
  Armed wait;
  bool abandoned = false;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;  // replaced meanwhile: its own post arms it
    Disarm();
    if (!armed_) return;
    wait = *armed_;
    abandoned = abandoned_;
  }
  if (abandoned) {
    Post(generation, false, QX_LOOP_ABANDONED);
    return;
  }
  if (wait.fd >= 0 && wait.events != 0) {
    std::uint32_t wanted = 0;
    if ((wait.events & QX_LOOP_READABLE) != 0) wanted |= EPOLLIN;
    if ((wait.events & QX_LOOP_WRITABLE) != 0) wanted |= EPOLLOUT;
    if (sockets_.Arm(wait.fd, wanted, shared_from_this(), generation) != 0) {
      Post(generation, false, wait.events);  // let the module's call find out
      return;
    }
    watched_fd_ = wait.fd;
  }
  if (wait.deadline_ns != 0) {
    timer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(wait.deadline_ns)));
    timer_.async_wait(asio::bind_allocator(
        HandlerAllocator<void>(timer_memory_),
        [self = shared_from_this(), generation](const boost::system::error_code& error) {
          if (error != asio::error::operation_aborted) (void)self->Fire(generation, QX_LOOP_DEADLINE);
        }));
  }
}

void LoopWait::Disarm() {
  if (watched_fd_ >= 0) {
    sockets_.Disarm(watched_fd_, this);
    watched_fd_ = -1;
  }
  timer_.cancel();
}

bool LoopWait::SocketReady(std::uint64_t generation, std::uint32_t events) { return Fire(generation, events); }

const asio::execution_context& LoopWait::Context() const { return asio::query(executor_, asio::execution::context); }

bool LoopWait::Fire(std::uint64_t generation, std::uint32_t events) {
  Armed wait;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_ || !armed_) return true;
    wait = *armed_;
    armed_.reset();
    if (abandoned_) events |= QX_LOOP_ABANDONED;
    Disarm();
  }
  const EventLoops::Call call = EventLoops::BeginCall();
  wait.callback(wait.context, events);
  // False: handed to another thread meanwhile, nothing of the loop's remains to do here.
  return EventLoops::EndCall(call);
}

}  // namespace host
