// The socket library of the platform, and the few spots where its calls
// differ: the handle type and where a failed call leaves its error number.
#pragma once

#include <string>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#endif

namespace net {

#if defined(_WIN32)
using socklen_t = int;
// Socket handles are small numbers that fit an int, as Windows promises for
// handles shared with 32-bit code; TRSocket keeps them as one.
inline SOCKET Native(int handle) { return static_cast<SOCKET>(handle); }
inline int LastSocketError() { return WSAGetLastError(); }
#else
inline int Native(int handle) { return handle; }
inline int LastSocketError() { return errno; }
#endif

// The IPv4 address of host (dotted text or a name), or false.
bool ResolveIPv4(const std::string& host, in_addr& address);

}  // namespace net
