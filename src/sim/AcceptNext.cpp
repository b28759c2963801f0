#include "sim/AcceptNext.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace sim {

int AcceptNext(int listener, int flags, const std::atomic<bool>& stopping) {
  while (!stopping) {
    const int fd = accept4(listener, nullptr, nullptr, flags);
    if (fd >= 0) {
      const int yes = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      return fd;
    }
    if (errno == EINTR || errno == ECONNABORTED || stopping) continue;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

}  // namespace sim
