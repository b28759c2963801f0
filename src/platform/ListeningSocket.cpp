#include "platform/ListeningSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

ListeningSocket OpenListeningSocket(const std::string& address, unsigned short port,
                                    const ListenSettings& settings) {
  ListeningSocket result;
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    result.failure = ListeningSocket::Failure::kNotIPv4;
    return result;
  }
  const int type = SOCK_STREAM | SOCK_CLOEXEC | (settings.nonblocking ? SOCK_NONBLOCK : 0);
  const int fd = socket(AF_INET, type, 0);
  const int yes = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 ||
      listen(fd, settings.backlog) != 0) {
    result.failure = ListeningSocket::Failure::kSystem;
    result.error_number = errno;
    if (fd >= 0) close(fd);
    return result;
  }
  socklen_t length = sizeof where;
  getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
  result.fd = fd;
  result.port = ntohs(where.sin_port);
  return result;
}

}  // namespace platform
