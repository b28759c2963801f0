#include "net/Winsock.h"

#include <atomic>

namespace net {
namespace {
std::atomic<int> g_start_count{0};
}  // namespace

int WinsockStartup(int requested_version) {
  // Only the version this code was written against can be granted.
  if (requested_version != kNetworkVersion22) return 10092;  // version not supported
  g_start_count.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

int WinsockCleanup() { return g_start_count.fetch_sub(1, std::memory_order_acq_rel) - 1; }

int NetworkStartCount() { return g_start_count.load(std::memory_order_acquire); }

}  // namespace net
