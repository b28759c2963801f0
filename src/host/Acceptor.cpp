#include "host/Acceptor.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "host/RateLimitedLog.h"
#include "host/StatusPages.h"

namespace host {
namespace {

constexpr int kSweepIntervalMs = 50;
constexpr int kPauseMs = 100;
constexpr int kAcceptBatch = 256;

int OpenSpare() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

}  // namespace

Acceptor::Acceptor(int listening_fd, OpenConnections& connections, HandOver hand_over)
    : listening_fd_(listening_fd), connections_(connections), hand_over_(std::move(hand_over)) {}

Acceptor::~Acceptor() {
  Stop();
  if (epoll_fd_ >= 0) close(epoll_fd_);
  if (stop_fd_ >= 0) close(stop_fd_);
  if (spare_fd_ >= 0) close(spare_fd_);
}

bool Acceptor::Start() {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  spare_fd_ = OpenSpare();
  if (epoll_fd_ < 0 || stop_fd_ < 0 || spare_fd_ < 0) return false;
  epoll_event listening{EPOLLIN, {.fd = listening_fd_}};
  epoll_event stop{EPOLLIN, {.fd = stop_fd_}};
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listening_fd_, &listening) != 0 ||
      epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, stop_fd_, &stop) != 0) {
    return false;
  }
  thread_ = std::thread(&Acceptor::Run, this);
  return true;
}

void Acceptor::Stop() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(stop_fd_, &one, sizeof one);
    thread_.join();
  }
  if (listening_fd_ >= 0) close(listening_fd_);
  listening_fd_ = -1;
}

void Acceptor::Run() {
  using Clock = std::chrono::steady_clock;
  auto next_sweep = Clock::now();
  bool listening = true;
  auto resume_at = Clock::time_point::max();
  for (;;) {
    epoll_event events[64];
    const int ready = epoll_wait(epoll_fd_, events, 64, kSweepIntervalMs);
    bool accept_now = false;
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      if (fd == stop_fd_) return;
      if (fd == listening_fd_) {
        accept_now = true;
      } else {
        connections_.PeerClosed(fd);
      }
    }
    const auto now = Clock::now();
    if (!listening && now >= resume_at) {
      epoll_event event{EPOLLIN, {.fd = listening_fd_}};
      listening = epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listening_fd_, &event) == 0;
      accept_now = listening;
    }
    if (accept_now && !AcceptWaiting()) {
      // The listening socket stays readable: leave it out of the wait for a
      // moment instead of spinning on it.
      listening = epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, listening_fd_, nullptr) != 0;
      resume_at = now + std::chrono::milliseconds(kPauseMs);
    }
    if (now >= next_sweep) {
      connections_.Sweep();
      next_sweep = now + std::chrono::milliseconds(kSweepIntervalMs);
    }
  }
}

bool Acceptor::AcceptWaiting() {
  for (int i = 0; i < kAcceptBatch; ++i) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listening_fd_, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      switch (errno) {
        case EAGAIN:
          return true;
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
          continue;
        case EMFILE:
        case ENFILE:
          if (!RefuseWithSpare(connections_.open())) return false;
          continue;
        default:
          LogLimited("accept", std::string("cannot accept connections: ") + std::strerror(errno));
          return false;
      }
    }
    switch (connections_.Admit(fd, peer)) {
      case OpenConnections::Verdict::kAdmitted: {
        // Watched for the peer's close from before the library has it, so
        // that the watch can never land on a reused descriptor; one shot,
        // as the close matters only once.
        epoll_event watch{EPOLLRDHUP | EPOLLONESHOT, {.fd = fd}};
        epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &watch);
        if (!hand_over_(fd, peer)) connections_.NotTaken(fd);
        break;
      }
      case OpenConnections::Verdict::kFull:
        Refuse(fd, "connection limit reached");
        break;
      case OpenConnections::Verdict::kAddressFull:
        Refuse(fd, "connection limit per client address reached");
        break;
    }
  }
  return true;
}

bool Acceptor::RefuseWithSpare(unsigned open) {
  LogLimited("descriptors", "out of file descriptors with " + std::to_string(open) +
                                " connections open; refusing new connections");
  if (spare_fd_ < 0) spare_fd_ = OpenSpare();
  if (spare_fd_ < 0) return false;
  close(spare_fd_);
  spare_fd_ = -1;
  const int fd = accept4(listening_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) {
    WriteStatusPageTo(fd, 503);
    close(fd);
  }
  spare_fd_ = OpenSpare();
  return spare_fd_ >= 0;
}

void Acceptor::Refuse(int fd, const char* why) {
  LogLimited(why, std::string(why) + " (" + std::to_string(connections_.open()) +
                      " open); answering 503 to new connections");
  WriteStatusPageTo(fd, 503);
  close(fd);
}

}  // namespace host
