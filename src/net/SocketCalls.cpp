// The calls of TRSocket that differ between socket libraries: POSIX sockets.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>

#include "net/SocketSystem.h"
#include "net/TRSocket.h"
#include "platform/WaitLimit.h"

int TRSocket::Accept(TRSocket& target) {
  const int accepted = accept4(handle_, nullptr, nullptr, SOCK_CLOEXEC);
  if (accepted < 0) return errno;
  target.Close();
  target.handle_ = accepted;
  return 0;
}

int TRSocket::WaitFor(short events, int timeout_s) const {
  std::optional<platform::WaitClock::time_point> end;
  if (timeout_s >= 0) end = platform::WaitClock::now() + std::chrono::seconds(timeout_s);
  while (true) {
    // The module's stop may cut the wait short, also one begun before it.
    const net::ReadinessWait wait = net::NextReadinessWait(end);
    const int timeout_ms =
        wait.timeout ? static_cast<int>(std::min<long long>(wait.timeout->count(), INT_MAX)) : -1;
    pollfd waits[2] = {{handle_, events, 0}, {platform::WaitLimitWakeFd(), POLLIN, 0}};
    const nfds_t count = wait.limited || waits[1].fd < 0 ? 1 : 2;
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

bool TRSocket::PeerClosed() const {
  pollfd wait{handle_, POLLIN, 0};
  const int ready = poll(&wait, 1, 0);
  if (ready < 0) return true;
  if (ready == 0) return false;
  char peek[10] = {};
  const ssize_t count = recv(handle_, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
  return count <= 0;
}
