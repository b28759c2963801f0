// A listening IPv4 TCP socket, opened before any serving thread starts, so
// that the bound port is known at once and a bind error can be told plainly.
// Shared by quorvix-host and vekacs-sim, which do not link the module's code.
#pragma once

#include <sys/socket.h>

#include <string>

namespace platform {

struct ListenSettings {
  // For event loops that accept until the kernel says "would block".
  bool nonblocking = false;
  int backlog = SOMAXCONN;
};

struct ListeningSocket {
  enum class Failure { kNone, kNotIPv4, kSystem };

  int fd = -1;                  // the caller owns it and closes it
  unsigned short port = 0;      // as bound: the kernel's choice when 0 was asked
  Failure failure = Failure::kNone;
  int error_number = 0;         // errno of the failing call, for kSystem

  bool ok() const { return fd >= 0; }
};

// Binds address:port (dotted IPv4, SO_REUSEADDR, close-on-exec) and listens.
// Any thread; the result owns nothing else.
[[nodiscard]] ListeningSocket OpenListeningSocket(const std::string& address, unsigned short port,
                                                  const ListenSettings& settings);

}  // namespace platform
