#include "platform/WaitLimitWake.h"

#include <winsock2.h>

#include <atomic>
#include <mutex>

namespace platform::wake {
namespace {

// Windows cannot poll an event beside sockets, so the wake-up is a loopback
// UDP socket connected to itself: a datagram sent to it makes it readable.
// Made on first use, once the network library is started by the module.
std::mutex g_mutex;
std::atomic<SOCKET> g_socket{INVALID_SOCKET};

SOCKET MakeSelfConnected() {
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return s;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  u_long nonblocking = 1;
  if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

}  // namespace

int Handle() {
  SOCKET s = g_socket.load(std::memory_order_acquire);
  if (s == INVALID_SOCKET) {
    std::lock_guard lock(g_mutex);
    s = g_socket.load(std::memory_order_acquire);
    if (s == INVALID_SOCKET) {
      s = MakeSelfConnected();
      g_socket.store(s, std::memory_order_release);
    }
  }
  // Socket handles are small numbers that fit an int, as Windows promises for
  // handles shared with 32-bit code.
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

void Raise() {
  if (const int s = Handle(); s >= 0) {
    const char one = 1;
    send(static_cast<SOCKET>(s), &one, 1, 0);
  }
}

void Clear() {
  const SOCKET s = g_socket.load(std::memory_order_acquire);
  if (s == INVALID_SOCKET) return;
  char scratch[16];
  while (recv(s, scratch, sizeof scratch, 0) > 0) {
  }
}

void Close() {
  std::lock_guard lock(g_mutex);
  const SOCKET s = g_socket.exchange(INVALID_SOCKET, std::memory_order_acq_rel);
  if (s != INVALID_SOCKET) closesocket(s);
}

}  // namespace platform::wake
