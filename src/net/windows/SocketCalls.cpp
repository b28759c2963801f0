// The calls of TRSocket that differ between socket libraries: Winsock 2. A
// socket is non-blocking from its creation on; every wait is a select, which
// (unlike WSAPoll on older Windows) also reports a connect that failed.
#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>

#include "net/SocketSystem.h"
#include "net/TRSocket.h"
#include "platform/WaitLimit.h"

using net::Native;
using net::LastSocketError;
using net::ResolveIPv4;

int TRSocket::Create(int port, int type, const char* bind_address) {
  const SOCKET s = WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return LastSocketError();
  handle_ = static_cast<int>(s);
  u_long nonblocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
    const int error = LastSocketError();
    Close();
    return error;
  }
  if (const int error = Bind(port, bind_address); error != 0) {
    Close();
    return error;
  }
  return 0;
}

int TRSocket::Close() {
  if (handle_ == kInvalidSocket) return -1;
  const int result = closesocket(Native(handle_));
  handle_ = kInvalidSocket;
  return result;
}

int TRSocket::Connect(const std::string& host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  if (!ResolveIPv4(host, address.sin_addr)) return kErrorInvalidAddress;
  int error = 0;
  if (connect(Native(handle_), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = LastSocketError();
    if (error == WSAEWOULDBLOCK) {
      const int waited = WaitFor(POLLOUT, kConnectTimeoutSeconds);
      int length = sizeof error;
      if (waited == 1) {
        error = WSAETIMEDOUT;
      } else if (waited != 0) {
        error = waited;
      } else if (getsockopt(Native(handle_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        error = LastSocketError();
      }
    }
  }
  if (error == 0) {
    const BOOL yes = TRUE;
    setsockopt(Native(handle_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
  }
  return error;
}

int TRSocket::Accept(TRSocket& target) {
  const SOCKET accepted = accept(Native(handle_), nullptr, nullptr);
  if (accepted == INVALID_SOCKET) return LastSocketError();
  target.Close();
  target.handle_ = static_cast<int>(accepted);
  return 0;
}

int TRSocket::WaitFor(short events, int timeout_s) const {
  using Clock = platform::WaitClock;
  std::optional<Clock::time_point> end;
  if (timeout_s >= 0) end = Clock::now() + std::chrono::seconds(timeout_s);
  while (true) {
    // The module's stop may cut the wait short, also one begun before it.
    const auto limit = platform::CurrentWaitLimit();
    const auto until = limit && (!end || *limit < *end) ? limit : end;
    timeval timeout{};
    if (until) {
      const auto left = std::clamp<long long>(
          std::chrono::ceil<std::chrono::microseconds>(*until - Clock::now()).count(), 0, LLONG_MAX / 2);
      timeout.tv_sec = static_cast<long>(std::min<long long>(left / 1000000, INT_MAX));
      timeout.tv_usec = static_cast<long>(left % 1000000);
    }
    fd_set readable;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    const SOCKET s = Native(handle_);
    if ((events & POLLOUT) != 0) {
      FD_SET(s, &writable);
      FD_SET(s, &failed);  // a connect that failed
    } else {
      FD_SET(s, &readable);
    }
    const int wake = limit ? -1 : platform::WaitLimitWakeFd();
    if (wake >= 0) FD_SET(Native(wake), &readable);
    const int ready = select(0, &readable, &writable, &failed, until ? &timeout : nullptr);
    if (ready == SOCKET_ERROR) return LastSocketError();
    if (FD_ISSET(s, &readable) || FD_ISSET(s, &writable) || FD_ISSET(s, &failed)) return 0;
    if (ready == 0) return 1;
    // Woken by the stop: wait again under its limit.
  }
}

// Both directions try the call first and wait only when it would block, as
// on Linux; a negative timeout waits without end.
int TRSocket::Receive(char* buffer, std::size_t length, std::size_t& received, bool& timed_out, int timeout_s,
                      int flags, bool fill) {
  received = 0;
  timed_out = false;
  while (true) {
    const int chunk = static_cast<int>(std::min<std::size_t>(length - received, INT_MAX));
    const int count = recv(Native(handle_), buffer + received, chunk, flags);
    if (count == 0) return 0;
    if (count > 0) {
      received += static_cast<std::size_t>(count);
      if (!fill || received >= length) return 0;
      continue;
    }
    const int error = LastSocketError();
    if (error != WSAEWOULDBLOCK) return error;
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
  while (sent < length) {
    const int chunk = static_cast<int>(std::min<std::size_t>(length - sent, INT_MAX));
    const int count = send(Native(handle_), data + sent, chunk, flags);
    if (count >= 0) {
      sent += static_cast<std::size_t>(count);
      continue;
    }
    const int error = LastSocketError();
    if (error != WSAEWOULDBLOCK) return error;
    const int waited = WaitFor(POLLOUT, timeout_s);
    if (waited == 1) return WSAETIMEDOUT;
    if (waited != 0) return waited;
  }
  return 0;
}

bool TRSocket::PeerClosed() const {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Native(handle_), &readable);
  timeval now{};
  const int ready = select(0, &readable, nullptr, nullptr, &now);
  if (ready == SOCKET_ERROR) return true;
  if (ready == 0) return false;
  char peek[10] = {};
  const int count = recv(Native(handle_), peek, sizeof peek, MSG_PEEK);
  return count == 0 || (count < 0 && LastSocketError() != WSAEWOULDBLOCK);
}
