#include "net/TRSocket.h"

#include <algorithm>
#include <chrono>

#include "diag/TraceLog.h"
#include "net/SocketSystem.h"

namespace net {

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

ReadinessWait NextReadinessWait(std::optional<platform::WaitClock::time_point> end) {
  const auto limit = platform::CurrentWaitLimit();
  const auto until = limit && (!end || *limit < *end) ? limit : end;
  ReadinessWait wait;
  wait.limited = limit.has_value();
  if (until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - platform::WaitClock::now());
    wait.timeout = std::max(left, std::chrono::milliseconds(0));
  }
  return wait;
}

}  // namespace net

using net::ResolveIPv4;

bool HostResolvesToIPv4(const std::string& host) {
  in_addr address{};
  return ResolveIPv4(host, address);
}

TRSocket::~TRSocket() { TRSocket::Close(); }


int TRSocket::Create(int port, int type, const char* bind_address) {
  handle_ = net::OpenSocket(type);
  if (handle_ < 0) {
    handle_ = kInvalidSocket;
    return net::LastSocketError();
  }
  if (const int error = Bind(port, bind_address); error != 0) {
    Close();
    return error;
  }
  return 0;
}

int TRSocket::Close() {
  if (handle_ == kInvalidSocket) return -1;
  const int result = net::CloseSocket(handle_);
  handle_ = kInvalidSocket;
  return result;
}

int TRSocket::Bind(int port, const char* bind_address) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind_address != nullptr && inet_pton(AF_INET, bind_address, &address.sin_addr) != 1) {
    return kErrorInvalidAddress;
  }
  return bind(net::Native(handle_), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
             ? 0
             : net::LastSocketError();
}

int TRSocket::Connect(const std::string& host, int port) {
  // One limit for every step, a TLS handshake's included: a back end that
  // answers a byte at a time must not stretch the connect without end.
  const auto end = platform::WaitClock::now() + std::chrono::seconds(kConnectTimeoutSeconds);
  bool to_write = false;
  int result = StartConnect(host, port, to_write);
  while (result == kConnectPending) {
    const int waited = WaitUntil(to_write ? POLLOUT : POLLIN, end);
    result = waited == 0 ? ContinueConnect(to_write) : ConnectWaitFailed(waited);
  }
  return result;
}

int TRSocket::StartConnect(const std::string& host, int port, bool& to_write) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (!ResolveIPv4(host, address.sin_addr)) return kErrorInvalidAddress;
  connect_restore_ = net::BeginConnect(handle_);
  if (connect(net::Native(handle_), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return ContinueConnect(to_write);
  }
  const int error = net::LastSocketError();
  if (net::ConnectUnderWay(error)) {
    to_write = true;
    return kConnectPending;
  }
  net::EndConnect(handle_, connect_restore_);
  return error;
}

int TRSocket::ContinueConnect(bool&) {
  int error = 0;
  net::socklen_t length = sizeof error;
  if (getsockopt(net::Native(handle_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    error = net::LastSocketError();
  }
  net::EndConnect(handle_, connect_restore_);
  if (error == 0) {
    const int yes = 1;
    setsockopt(net::Native(handle_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
  }
  return error;
}

int TRSocket::ConnectWaitFailed(int waited) {
  net::EndConnect(handle_, connect_restore_);
  return waited == kWaitTimedOut ? net::kTimedOut : waited;
}

int TRSocket::WaitFor(short events, int timeout_s) const {
  std::optional<platform::WaitClock::time_point> end;
  if (timeout_s >= 0) end = platform::WaitClock::now() + std::chrono::seconds(timeout_s);
  return WaitUntil(events, end);
}

int TRSocket::WaitUntil(short events, std::optional<platform::WaitClock::time_point> end) const {
  while (true) {
    // The module's stop may cut the wait short, also one begun before it:
    // woken, the wait goes on under its limit.
    const net::ReadinessWait wait = net::NextReadinessWait(end);
    const int result = WaitOnce(events, wait.timeout ? wait.timeout->count() : -1, !wait.limited);
    if (result != kWaitAgain) return result;
  }
}

// Both directions try the call first and wait only when it would block: a
// response is mostly in the buffer already, and a send rarely fills it, so
// a poll before every call doubled the system calls of an exchange.
int TRSocket::Receive(char* buffer, std::size_t length, std::size_t& received, bool& timed_out,
                      int timeout_s, int flags, bool fill) {
  received = 0;
  timed_out = false;
  waits_to_write_ = false;
  const int try_flags = net::ReceiveFlags(flags, timeout_s < 0);
  while (true) {
    const net::SocketCount count =
        recv(net::Native(handle_), buffer + received, net::CallLength(length - received), try_flags);
    if (count == 0) return 0;
    if (count > 0) {
      received += static_cast<std::size_t>(count);
      if (!fill || received >= length) return 0;
      continue;
    }
    const int error = net::LastSocketError();
    if (net::Interrupted(error)) continue;
    if (!net::WouldBlock(error)) return error;
    const int waited = timeout_s == 0 ? kWaitTimedOut : WaitFor(POLLIN, timeout_s);
    if (waited == kWaitTimedOut) {
      timed_out = true;
      return 0;
    }
    if (waited != 0) return waited;
  }
}

int TRSocket::Send(const char* data, std::size_t length, std::size_t& sent, int timeout_s, int flags) {
  sent = 0;
  waits_to_write_ = false;
  const int try_flags = net::SendFlags(flags, timeout_s == -1);
  while (sent < length) {
    const net::SocketCount count = send(net::Native(handle_), data + sent, net::CallLength(length - sent), try_flags);
    if (count >= 0) {
      sent += static_cast<std::size_t>(count);
      continue;
    }
    const int error = net::LastSocketError();
    if (net::Interrupted(error)) continue;
    if (!net::WouldBlock(error)) return error;
    if (timeout_s == 0) {
      waits_to_write_ = true;
      return kSendWouldBlock;
    }
    const int waited = WaitFor(POLLOUT, timeout_s);
    if (waited == kWaitTimedOut) return net::kTimedOut;
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

int TRSocket::GetHostName(std::string* address_text, int& port) const {
  port = 0;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  const bool named = getsockname(net::Native(handle_), reinterpret_cast<sockaddr*>(&local), &length) == 0;
  if (named) port = ntohs(local.sin_port);
  in_addr address = local.sin_addr;
  if (!named || address.s_addr == htonl(INADDR_ANY)) {
    char name[64] = "";
    if (gethostname(name, sizeof name - 1) != 0) return net::LastSocketError();
    if (!ResolveIPv4(name, address)) return kErrorInvalidAddress;
    if (address.s_addr == htonl(INADDR_BROADCAST)) return kErrorHostIsBroadcast;
  }
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  if (address_text != nullptr) *address_text = text;
  diag::TraceLine("GetHostName: host %s, port %d\n", address_text != nullptr ? text : "(null)", port);
  return 0;
}
