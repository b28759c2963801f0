#include "sim/TlsListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/ListeningSocket.h"

namespace sim {
namespace {

constexpr int kHandshakeWaitMs = 10000;
constexpr int kWriteWaitMs = 10000;

bool WaitFd(int fd, short events, int timeout_ms) {
  pollfd wait{fd, events, 0};
  int ready;
  do {
    ready = poll(&wait, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

bool WaitForSsl(SSL* ssl, int result, int fd, int timeout_ms) {
  const int error = SSL_get_error(ssl, result);
  if (error == SSL_ERROR_WANT_READ) return WaitFd(fd, POLLIN, timeout_ms);
  if (error == SSL_ERROR_WANT_WRITE) return WaitFd(fd, POLLOUT, timeout_ms);
  return false;
}

bool WritePlain(int fd, const char* data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t count = send(fd, data + done, length - done, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

bool WriteTls(SSL* ssl, int fd, const char* data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    ERR_clear_error();
    const int count = SSL_write(ssl, data + done, static_cast<int>(length - done));
    if (count > 0) {
      done += static_cast<std::size_t>(count);
    } else if (!WaitForSsl(ssl, count, fd, kWriteWaitMs)) {
      return false;
    }
  }
  return true;
}

std::string PeerDescription(SSL* ssl) {
  std::string text = SSL_get_version(ssl);
  const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  text += std::string(" sni=") + (name != nullptr ? name : "-");
  text += " client=";
  if (X509* peer = SSL_get1_peer_certificate(ssl)) {
    char subject[256] = "";
    X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject);
    text += subject;
    X509_free(peer);
  } else {
    text += "-";
  }
  return text;
}

}  // namespace

TlsListener::TlsListener(SSL_CTX* context, std::string backend_address, unsigned short backend_port,
                         bool log_connections)
    : context_(context),
      backend_address_(std::move(backend_address)),
      backend_port_(backend_port),
      log_connections_(log_connections) {}

TlsListener::~TlsListener() {
  Stop();
  SSL_CTX_free(context_);
}

bool TlsListener::Start(const std::string& address, unsigned short port, std::string& error) {
  const auto listening = platform::OpenListeningSocket(address, port, {.backlog = 1024});
  if (!listening.ok()) {
    error = "cannot listen for TLS on " + address + ":" + std::to_string(port) + ": " +
            (listening.failure == platform::ListeningSocket::Failure::kNotIPv4 ? "not an IPv4 address"
                                                                              : std::strerror(listening.error_number));
    return false;
  }
  listener_ = listening.fd;
  port_ = listening.port;
  acceptor_ = std::thread(&TlsListener::AcceptLoop, this);
  return true;
}

void TlsListener::Stop() {
  if (stopping_.exchange(true) || listener_ < 0) return;
  shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  close(listener_);
  connections_.Stop([](Connection& connection) {
    shutdown(connection.tls_fd, SHUT_RDWR);
    if (connection.plain_fd >= 0) shutdown(connection.plain_fd, SHUT_RDWR);
  });
}

void TlsListener::AcceptLoop() {
  connections_.AcceptLoop(
      listener_, SOCK_CLOEXEC | SOCK_NONBLOCK, stopping_,
      [](int fd) {
        auto connection = std::make_unique<Connection>();
        connection->tls_fd = fd;
        return connection;
      },
      [this](Connection& connection) { connection.thread = std::thread([this, &connection] { Relay(connection); }); });
}

int TlsListener::ConnectBackend(Connection& connection) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(backend_port_);
  inet_pton(AF_INET, backend_address_.c_str(), &address.sin_addr);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  const int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  return connections_.WithConnections([&](auto&) {
    if (stopping_) {
      close(fd);
      return -1;
    }
    connection.plain_fd = fd;
    return fd;
  });
}

void TlsListener::Relay(Connection& connection) {
  const int tls_fd = connection.tls_fd;
  SSL* ssl = SSL_new(context_);
  bool polite = false;  // the plain side ended: say so with a close_notify
  if (ssl != nullptr && SSL_set_fd(ssl, tls_fd) == 1) {
    int accepted;
    do {
      ERR_clear_error();
      accepted = SSL_accept(ssl);
    } while (accepted != 1 && !stopping_ && WaitForSsl(ssl, accepted, tls_fd, kHandshakeWaitMs));
    const int plain_fd = accepted == 1 ? ConnectBackend(connection) : -1;
    if (plain_fd >= 0 && log_connections_) {
      std::printf("tls conn=%llu %s\n", static_cast<unsigned long long>(connection.serial), PeerDescription(ssl).c_str());
      std::fflush(stdout);
    }
    char buffer[16384];
    while (plain_fd >= 0 && !stopping_) {
      ERR_clear_error();
      const int count = SSL_read(ssl, buffer, sizeof buffer);
      if (count > 0) {
        if (!WritePlain(plain_fd, buffer, static_cast<std::size_t>(count))) break;
        continue;
      }
      if (SSL_get_error(ssl, count) != SSL_ERROR_WANT_READ) break;
      pollfd waits[2] = {{tls_fd, POLLIN, 0}, {plain_fd, POLLIN, 0}};
      if (poll(waits, 2, -1) < 0 && errno != EINTR) break;
      if (waits[1].revents != 0) {
        const ssize_t got = recv(plain_fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
          polite = true;
          break;
        }
        if (!WriteTls(ssl, tls_fd, buffer, static_cast<std::size_t>(got))) break;
      }
    }
  }
  if (ssl != nullptr) {
    if (polite && !stopping_) SSL_shutdown(ssl);
    ERR_clear_error();
    SSL_free(ssl);
  }
  Finish(connection);
}

void TlsListener::Finish(Connection& connection) {
  connections_.Retire(connection, [](Connection& served) {
    close(served.tls_fd);
    if (served.plain_fd >= 0) close(served.plain_fd);
  });
}

}  // namespace sim
