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

int TRSocket::WaitOnce(short events, long long timeout_ms, bool watch_stop) const {
  timeval timeout{};
  if (timeout_ms >= 0) {
    timeout.tv_sec = static_cast<long>(std::min<long long>(timeout_ms / 1000, INT_MAX));
    timeout.tv_usec = static_cast<long>(timeout_ms % 1000 * 1000);
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
  const int wake = watch_stop ? platform::WaitLimitWakeFd() : -1;
  if (wake >= 0) FD_SET(Native(wake), &readable);
  const int ready = select(0, &readable, &writable, &failed, timeout_ms >= 0 ? &timeout : nullptr);
  if (ready == SOCKET_ERROR) return LastSocketError();
  if (FD_ISSET(s, &readable) || FD_ISSET(s, &writable) || FD_ISSET(s, &failed)) return 0;
  return ready == 0 ? kWaitTimedOut : kWaitAgain;
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
