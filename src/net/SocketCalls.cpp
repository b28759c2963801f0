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

int TRSocket::WaitOnce(short events, long long timeout_ms, bool watch_stop) const {
  pollfd waits[2] = {{handle_, events, 0}, {platform::WaitLimitWakeFd(), POLLIN, 0}};
  const nfds_t count = !watch_stop || waits[1].fd < 0 ? 1 : 2;
  const int ready = poll(waits, count, static_cast<int>(std::min<long long>(timeout_ms, INT_MAX)));
  if (ready < 0) return errno == EINTR ? kWaitAgain : errno;
  if (waits[0].revents != 0) return 0;
  return ready == 0 ? kWaitTimedOut : kWaitAgain;
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
