// The socket library of the platform, and the few spots where its calls
// differ: the handle type, where a failed call leaves its error number, which
// numbers mean "would block", and how one call is kept from blocking. A
// Windows socket is non-blocking from its creation on; a POSIX socket is
// blocking and each call that must not wait says so.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "platform/WaitLimit.h"

namespace net {

#if defined(_WIN32)
using socklen_t = int;
using SocketCount = int;  // what send and recv return
// Socket handles are small numbers that fit an int, as Windows promises for
// handles shared with 32-bit code; TRSocket keeps them as one.
inline SOCKET Native(int handle) { return static_cast<SOCKET>(handle); }
inline int LastSocketError() { return WSAGetLastError(); }
inline bool WouldBlock(int error) { return error == WSAEWOULDBLOCK; }
inline bool Interrupted(int) { return false; }
inline bool ConnectUnderWay(int error) { return error == WSAEWOULDBLOCK; }
inline constexpr int kTimedOut = WSAETIMEDOUT;
inline int ReceiveFlags(int flags, bool) { return flags; }
inline int SendFlags(int flags, bool) { return flags; }
// The length one send or recv takes.
inline int CallLength(std::size_t length) { return static_cast<int>(std::min<std::size_t>(length, 1u << 30)); }
// A new non-blocking IPv4 socket that child processes do not inherit, or -1
// with the error left for LastSocketError.
inline int OpenSocket(int type) {
  const SOCKET s = WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return -1;
  u_long nonblocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
    const int error = WSAGetLastError();
    closesocket(s);
    WSASetLastError(error);
    return -1;
  }
  return static_cast<int>(s);
}
inline int CloseSocket(int handle) { return closesocket(static_cast<SOCKET>(handle)); }
// The socket is non-blocking already.
inline int BeginConnect(int) { return 0; }
inline void EndConnect(int, int) {}
#else
using ::socklen_t;
using SocketCount = ssize_t;
inline int Native(int handle) { return handle; }
inline int LastSocketError() { return errno; }
inline bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
inline bool Interrupted(int error) { return error == EINTR; }
inline bool ConnectUnderWay(int error) { return error == EINPROGRESS; }
inline constexpr int kTimedOut = ETIMEDOUT;
// may_wait: the call blocks until it can do something.
inline int ReceiveFlags(int flags, bool may_wait) { return may_wait ? flags : flags | MSG_DONTWAIT; }
// Never SIGPIPE: a back end that resets mid-send must not end the host.
inline int SendFlags(int flags, bool may_wait) { return flags | MSG_NOSIGNAL | (may_wait ? 0 : MSG_DONTWAIT); }
inline std::size_t CallLength(std::size_t length) { return length; }
// A new IPv4 socket that child processes do not inherit, or -1 with errno set.
inline int OpenSocket(int type) { return socket(AF_INET, type | SOCK_CLOEXEC, 0); }
inline int CloseSocket(int handle) { return close(handle); }
// Non-blocking for the connect only, so that it can time out; returns what
// EndConnect restores.
inline int BeginConnect(int handle) {
  const int flags = fcntl(handle, F_GETFL);
  fcntl(handle, F_SETFL, flags | O_NONBLOCK);
  return flags;
}
inline void EndConnect(int handle, int flags) { fcntl(handle, F_SETFL, flags); }
#endif

// The IPv4 address of host (dotted text or a name), or false.
bool ResolveIPv4(const std::string& host, in_addr& address);

// One wait for readiness: how long it may last (empty: without end), and
// whether the module's stop has imposed its limit already (then there is no
// wake-up to watch for).
struct ReadinessWait {
  std::optional<std::chrono::milliseconds> timeout;
  bool limited = false;
};
// The next wait of a wait that must end by end (empty: no end of its own),
// cut to the module's wait limit.
ReadinessWait NextReadinessWait(std::optional<platform::WaitClock::time_point> end);

}  // namespace net
