#include "sim/SocketLoops.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace sim {
namespace {

thread_local int t_epoll_fd = -1;

void SetBlocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

}  // namespace

SocketLoops::SocketLoops(std::size_t threads, Handler handler, void* owner)
    : handler_(handler), owner_(owner), loops_(threads) {
  for (auto& loop : loops_) {
    loop.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    loop.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the wake-up
    epoll_ctl(loop.epoll_fd, EPOLL_CTL_ADD, loop.wake_fd, &event);
    loop.thread = std::thread(&SocketLoops::Run, this, std::ref(loop));
  }
}

SocketLoops::~SocketLoops() {
  Stop();
  for (auto& loop : loops_) {
    close(loop.epoll_fd);
    close(loop.wake_fd);
  }
}

bool SocketLoops::Add(int fd, void* context) {
  if (stopping_ || loops_.empty()) return false;
  Loop& loop = loops_[next_++ % loops_.size()];
  SetBlocking(fd, false);
  // Level-triggered: a handler that reads one buffer's worth is called again
  // for the rest.
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.ptr = context;
  return epoll_ctl(loop.epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0;
}

void SocketLoops::Detach(int fd) {
  epoll_ctl(t_epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
  SetBlocking(fd, true);
}

void SocketLoops::Stop() {
  if (stopping_.exchange(true)) return;
  for (auto& loop : loops_) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(loop.wake_fd, &one, sizeof one);
  }
  for (auto& loop : loops_) {
    if (loop.thread.joinable()) loop.thread.join();
  }
}

void SocketLoops::Run(Loop& loop) {
  t_epoll_fd = loop.epoll_fd;
  std::array<epoll_event, 64> events;
  while (!stopping_) {
    const int count = epoll_wait(loop.epoll_fd, events.data(), static_cast<int>(events.size()), -1);
    if (count < 0 && errno != EINTR) break;
    for (int i = 0; i < count && !stopping_; ++i) {
      if (events[static_cast<std::size_t>(i)].data.ptr != nullptr) {
        handler_(owner_, events[static_cast<std::size_t>(i)].data.ptr);
      }
    }
  }
}

}  // namespace sim
