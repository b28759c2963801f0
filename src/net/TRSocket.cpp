#include "net/TRSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>

#include "diag/TraceLog.h"
#include "platform/WaitLimit.h"

namespace {

// The IPv4 address of host (dotted text or a name), or false.
bool ResolveIPv4(const std::string& host, in_addr& address) {
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

}  // namespace

bool HostResolvesToIPv4(const std::string& host) {
  in_addr address{};
  return ResolveIPv4(host, address);
}

TRSocket::~TRSocket() { TRSocket::Close(); }


int TRSocket::Create(int port, int type, const char* bind_address) {
  handle_ = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (handle_ < 0) {
    handle_ = kInvalidSocket;
    return errno;
  }
  if (const int error = Bind(port, bind_address); error != 0) {
    Close();
    return error;
  }
  return 0;
}

int TRSocket::Bind(int port, const char* bind_address) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind_address != nullptr && inet_pton(AF_INET, bind_address, &address.sin_addr) != 1) {
    return kErrorInvalidAddress;
  }
  return bind(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
}

int TRSocket::Close() {
  if (handle_ == kInvalidSocket) return -1;
  const int result = close(handle_);
  handle_ = kInvalidSocket;
  return result;
}

int TRSocket::Connect(const std::string& host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (!ResolveIPv4(host, address.sin_addr)) return kErrorInvalidAddress;
  // Non-blocking for the connect only, so that it can time out.
  const int flags = fcntl(handle_, F_GETFL);
  fcntl(handle_, F_SETFL, flags | O_NONBLOCK);
  int error = 0;
  if (connect(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      const int waited = WaitFor(POLLOUT, kConnectTimeoutSeconds);
      socklen_t length = sizeof error;
      if (waited == 1) {
        error = ETIMEDOUT;
      } else if (waited != 0) {
        error = waited;
      } else if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
      }
    }
  }
  fcntl(handle_, F_SETFL, flags);
  if (error == 0) {
    const int yes = 1;
    setsockopt(handle_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  }
  return error;
}

int TRSocket::WaitFor(short events, int timeout_s) const {
  using Clock = platform::WaitClock;
  std::optional<Clock::time_point> end;
  if (timeout_s >= 0) end = Clock::now() + std::chrono::seconds(timeout_s);
  while (true) {
    // The module's stop may cut the wait short, also one begun before it.
    const auto limit = platform::CurrentWaitLimit();
    const auto until = limit && (!end || *limit < *end) ? limit : end;
    int timeout_ms = -1;
    if (until) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now()).count();
      timeout_ms = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }
    pollfd waits[2] = {{handle_, events, 0}, {platform::WaitLimitWakeFd(), POLLIN, 0}};
    const nfds_t count = limit || waits[1].fd < 0 ? 1 : 2;
    const int ready = poll(waits, count, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (waits[0].revents != 0) return 0;
    if (ready == 0) return 1;
    // Woken by the stop: wait again under its limit.
  }
}

// Both directions try the call first and wait only when it would block: a
// response is mostly in the buffer already, and a send rarely fills it, so
// a poll before every call doubled the system calls of an exchange.
int TRSocket::Receive(char* buffer, std::size_t length, std::size_t& received, bool& timed_out,
                      int timeout_s, int flags, bool fill) {
  received = 0;
  timed_out = false;
  const int try_flags = timeout_s >= 0 ? flags | MSG_DONTWAIT : flags;
  while (true) {
    const ssize_t count = recv(handle_, buffer + received, length - received, try_flags);
    if (count == 0) return 0;
    if (count > 0) {
      received += static_cast<std::size_t>(count);
      if (!fill || received >= length) return 0;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    const int waited = timeout_s == 0 ? 1 : WaitFor(POLLIN, timeout_s);
    if (waited == 1) {
      timed_out = true;
      return 0;
    }
    if (waited != 0) return waited;
  }
}

int TRSocket::Send(const char* data, std::size_t length, std::size_t& sent, int timeout_s, int flags) {
  sent = 0;
  const int try_flags = flags | MSG_NOSIGNAL | (timeout_s != -1 ? MSG_DONTWAIT : 0);
  while (sent < length) {
    const ssize_t count = send(handle_, data + sent, length - sent, try_flags);
    if (count >= 0) {
      sent += static_cast<std::size_t>(count);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    const int waited = WaitFor(POLLOUT, timeout_s);
    if (waited == 1) return ETIMEDOUT;
    if (waited != 0) return waited;
  }
  return 0;
}

int TRSocket::Flush(std::size_t& discarded) {
  discarded = 0;
  char scratch[100];
  while (true) {
    std::size_t count = 0;
    bool timed_out = false;
    const int error = Receive(scratch, sizeof scratch, count, timed_out, 0, 0, false);
    if (error != 0) return error;
    if (count == 0) return 0;
    discarded += count;
  }
}

bool TRSocket::IsClosed() const {
  if (handle_ == kInvalidSocket) return true;
  return PeerClosed();
}

bool TRSocket::PeerClosed() const {
  pollfd wait{handle_, POLLIN, 0};
  const int ready = poll(&wait, 1, 0);
  if (ready < 0) return true;
  if (ready == 0) return false;
  char peek[10] = {};
  const ssize_t count = recv(handle_, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
  return count <= 0;
}

int TRSocket::GetHostName(std::string* address_text, int& port) const {
  port = 0;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  const bool named = getsockname(handle_, reinterpret_cast<sockaddr*>(&local), &length) == 0;
  if (named) port = ntohs(local.sin_port);
  in_addr address = local.sin_addr;
  if (!named || address.s_addr == htonl(INADDR_ANY)) {
    char name[64] = "";
    if (gethostname(name, sizeof name - 1) != 0) return errno;
    if (!ResolveIPv4(name, address)) return kErrorInvalidAddress;
    if (address.s_addr == htonl(INADDR_BROADCAST)) return kErrorHostIsBroadcast;
  }
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  if (address_text != nullptr) *address_text = text;
  diag::TraceLine("GetHostName: host %s, port %d\n", address_text != nullptr ? text : "(null)", port);
  return 0;
}
