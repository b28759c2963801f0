#include "host/ModuleSocketWatch.h"

#include <sys/epoll.h>

#include <boost/asio/post.hpp>
#include <boost/container/static_vector.hpp>

#include <array>
#include <cerrno>
#include <utility>

#include "host/LoopWait.h"
#include "isapi/httpext.h"

namespace host {

namespace asio = boost::asio;

ModuleSocketWatch::ModuleSocketWatch(asio::execution_context& context)
    : asio::execution_context::service(context),
      context_(static_cast<asio::io_context&>(context)),
      set_(epoll_create1(EPOLL_CLOEXEC)),
      watched_set_(context_) {
  boost::system::error_code ignored;
  if (set_ >= 0) watched_set_.assign(set_, ignored);
}

ModuleSocketWatch::~ModuleSocketWatch() { shutdown(); }

void ModuleSocketWatch::shutdown() {
  waiters_.clear();
  armed_ = 0;
  boost::system::error_code ignored;
  watched_set_.close(ignored);  // closes set_
  set_ = -1;
}

int ModuleSocketWatch::Arm(int fd, std::uint32_t events, const std::shared_ptr<LoopWait>& waiter,
                           std::uint64_t generation) {
  if (!watched_set_.is_open()) return EBADF;
  epoll_event wanted{};
  wanted.events = events | EPOLLONESHOT;
  wanted.data.fd = fd;
  // Known to the set unless closed (and maybe opened again) since its last wait here.
  if (epoll_ctl(set_, EPOLL_CTL_MOD, fd, &wanted) != 0) {
    if (errno != ENOENT) return errno;
    if (epoll_ctl(set_, EPOLL_CTL_ADD, fd, &wanted) != 0) return errno;
  }
  if (static_cast<std::size_t>(fd) >= waiters_.size()) waiters_.resize(static_cast<std::size_t>(fd) + 1);
  Waiter& slot = waiters_[static_cast<std::size_t>(fd)];
  if (slot.owner == nullptr) ++armed_;
  slot = Waiter{waiter, waiter.get(), generation, events};
  if (!listening_) Listen();
  return 0;
}

void ModuleSocketWatch::Disarm(int fd, const LoopWait* waiter) {
  // Armed still, the socket may report once more: to no one, or to a later
  // waiter as a hint it checks anyway.
  if (fd >= 0 && static_cast<std::size_t>(fd) < waiters_.size() && waiters_[static_cast<std::size_t>(fd)].owner == waiter) {
    Erase(waiters_[static_cast<std::size_t>(fd)]);
  }
}

void ModuleSocketWatch::Erase(Waiter& waiter) {
  waiter = Waiter{};
  --armed_;
}

void ModuleSocketWatch::Listen() {
  listening_ = true;
  watched_set_.async_wait(asio::posix::descriptor_base::wait_read, [this](const boost::system::error_code& error) {
    listening_ = false;
    if (!error) Dispatch();
  });
}

void ModuleSocketWatch::Dispatch() {
  // Neither is filled beyond what the turn reports: most turns report one socket.
  std::array<epoll_event, 64> ready;
  const int count = epoll_wait(set_, ready.data(), static_cast<int>(ready.size()), 0);
  // Taken out first: a callback may arm again, also the same socket.
  boost::container::static_vector<std::pair<Waiter, std::uint32_t>, 64> reports;
  for (int i = 0; i < count; ++i) {
    const auto fd = static_cast<std::size_t>(ready[i].data.fd);
    if (fd >= waiters_.size() || waiters_[fd].owner == nullptr) continue;
    Waiter waiter = std::move(waiters_[fd]);
    Erase(waiters_[fd]);
    std::uint32_t events = 0;
    // An error or hang-up is for the module's next call to find.
    const std::uint32_t seen =
        (ready[i].events & (EPOLLERR | EPOLLHUP)) != 0 ? waiter.events : ready[i].events & waiter.events;
    if ((seen & EPOLLIN) != 0) events |= QX_LOOP_READABLE;
    if ((seen & EPOLLOUT) != 0) events |= QX_LOOP_WRITABLE;
    reports.emplace_back(std::move(waiter), events);
  }
  if (armed_ != 0) Listen();
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const auto wait = reports[i].first.wait.lock();
    if (!wait || wait->SocketReady(reports[i].first.generation, reports[i].second)) continue;
    // The loop went on with another thread while that callback blocked: the
    // other reports are the loop's to make.
    for (std::size_t j = i + 1; j < reports.size(); ++j) {
      asio::post(context_, [report = std::move(reports[j])] {
        if (const auto later = report.first.wait.lock()) (void)later->SocketReady(report.first.generation, report.second);
      });
    }
    return;
  }
}

}  // namespace host
