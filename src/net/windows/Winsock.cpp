#include "net/Winsock.h"

#include <winsock2.h>

#include <atomic>

#include "platform/WaitLimit.h"

namespace net {
namespace {
std::atomic<int> g_start_count{0};
}  // namespace

int WinsockStartup(int requested_version) {
  WSADATA data{};
  const int error = WSAStartup(static_cast<WORD>(requested_version), &data);
  if (error != 0) return error;
  if (data.wVersion != static_cast<WORD>(requested_version)) {
    WSACleanup();
    return WSAVERNOTSUPPORTED;
  }
  g_start_count.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

int WinsockCleanup() {
  const int left = g_start_count.fetch_sub(1, std::memory_order_acq_rel) - 1;
  // The wake-up of the wait limit is a socket: it goes with the last user.
  if (left == 0) platform::CloseWaitLimitWake();
  WSACleanup();
  return left;
}

int NetworkStartCount() { return g_start_count.load(std::memory_order_acquire); }

}  // namespace net
