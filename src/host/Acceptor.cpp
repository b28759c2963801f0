#include "host/Acceptor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/post.hpp>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>

#include "host/RateLimitedLog.h"
#include "host/StatusPages.h"

namespace host {
namespace {

constexpr auto kPause = std::chrono::milliseconds(100);

int OpenSpare() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

}  // namespace

Acceptor::Acceptor(EventLoops& loops, OpenConnections& connections, Admitted admitted)
    : loops_(loops),
      connections_(connections),
      admitted_(std::move(admitted)),
      acceptor_(loops.Context(0)),
      pause_(loops.Context(0)) {}

Acceptor::~Acceptor() {
  if (spare_fd_ >= 0) close(spare_fd_);
}

bool Acceptor::Start(int listening_fd, std::string& error) {
  boost::system::error_code assigned;
  acceptor_.assign(boost::asio::ip::tcp::v4(), listening_fd, assigned);
  spare_fd_ = OpenSpare();
  if (assigned || spare_fd_ < 0) {
    if (assigned) close(listening_fd);
    error = "cannot start accepting connections: " + (assigned ? assigned.message() : std::strerror(errno));
    return false;
  }
  boost::asio::post(loops_.Context(0), [this] { Accept(); });
  return true;
}

void Acceptor::Stop() {
  auto closed = std::make_shared<std::promise<void>>();
  auto done = closed->get_future();
  boost::asio::post(loops_.Context(0), [this, closed] {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    pause_.cancel();
    closed->set_value();
  });
  // A loop that no longer runs drops the handler with the loop.
  done.wait_for(std::chrono::seconds(5));
}

void Acceptor::Accept() {
  if (!acceptor_.is_open()) return;
  const std::size_t loop = next_loop_;
  acceptor_.async_accept(loops_.Context(loop), peer_,
                         [this](const boost::system::error_code& error, LoopSocket socket) {
                           OnAccept(error, std::move(socket));
                         });
}

void Acceptor::OnAccept(const boost::system::error_code& error, LoopSocket socket) {
  if (error == boost::asio::error::operation_aborted || !acceptor_.is_open()) return;
  if (error) {
    const int number = error.value();
    if (number == EMFILE || number == ENFILE) {
      LogLimited("descriptors", "out of file descriptors with " + std::to_string(connections_.open()) +
                                    " connections open; refusing new connections");
      if (!RefuseWithSpare()) {
        Pause();
        return;
      }
    } else if (number != ECONNABORTED && number != EPROTO && number != EINTR) {
      LogLimited("accept", "cannot accept connections: " + error.message());
      Pause();
      return;
    }
    Accept();
    return;
  }
  PeerAddress peer{htonl(peer_.address().to_v4().to_uint()), peer_.port(), {}};
  switch (connections_.Admit(peer.address)) {
    case OpenConnections::Verdict::kAdmitted: {
      const std::size_t loop = next_loop_;
      next_loop_ = (next_loop_ + 1) % loops_.size();
      peer.text = peer_.address().to_string();
      admitted_(std::move(socket), std::move(peer), loop);
      break;
    }
    case OpenConnections::Verdict::kFull:
      Refuse(socket, "connection limit reached");
      break;
    case OpenConnections::Verdict::kAddressFull:
      Refuse(socket, "connection limit per client address reached");
      break;
  }
  Accept();
}

bool Acceptor::RefuseWithSpare() {
  if (spare_fd_ < 0) spare_fd_ = OpenSpare();
  if (spare_fd_ < 0) return false;
  close(spare_fd_);
  spare_fd_ = -1;
  const int fd = accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) {
    WriteStatusPageTo(fd, 503);
    close(fd);
  }
  spare_fd_ = OpenSpare();
  return spare_fd_ >= 0 && fd >= 0;
}

void Acceptor::Refuse(LoopSocket& socket, const char* why) {
  LogLimited(why, std::string(why) + " (" + std::to_string(connections_.open()) +
                      " open); answering 503 to new connections");
  WriteStatusPageTo(socket.native_handle(), 503);
  boost::system::error_code ignored;
  socket.close(ignored);
}

void Acceptor::Pause() {
  pause_.expires_after(kPause);
  pause_.async_wait([this](const boost::system::error_code& error) {
    if (!error) Accept();
  });
}

}  // namespace host
