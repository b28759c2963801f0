// Start and clean-up of the network library, counted so that the last user
// to leave is the one that shuts it down. POSIX sockets need no start-up; the
// count is kept because start, stop and the TLS layer pair their calls by it.
#pragma once

namespace net {

inline constexpr int kNetworkVersion22 = 0x0202;

// Returns 0 on success (and counts the start), an error number otherwise.
int WinsockStartup(int requested_version = kNetworkVersion22);
// Uncounts one start; returns the count left.
int WinsockCleanup();
// Successful starts not yet cleaned up.
int NetworkStartCount();

}  // namespace net
