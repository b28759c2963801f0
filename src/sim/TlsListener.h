// vekacs-sim's TLS port: takes TLS connections and carries the bytes of each
// to and from a plain connection of its own to the simulator's back-end
// port, so that everything behind (faults, logs, close-idle) is the same for
// both. When the plain side closes, the client is sent a close_notify.
//
// Threads: Start and Stop on the owner's thread; one thread accepts, one
// thread per connection relays.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/ConnectionThreads.h"

namespace sim {

class TlsListener {
 public:
  // context: owned from here on. The plain side connects to
  // backend_address:backend_port.
  TlsListener(SSL_CTX* context, std::string backend_address, unsigned short backend_port, bool log_connections);
  ~TlsListener();
  TlsListener(const TlsListener&) = delete;
  TlsListener& operator=(const TlsListener&) = delete;

  bool Start(const std::string& address, unsigned short port, std::string& error);
  // Ends every connection without a close_notify, as a crash would.
  void Stop();
  unsigned short port() const { return port_; }

 private:
  struct Connection {
    std::uint64_t serial = 0;
    int tls_fd = -1;
    int plain_fd = -1;  // under connections_' lock once the relay runs
    std::thread thread;
  };

  void AcceptLoop();
  void Relay(Connection& connection);
  // The plain connection to the back-end port, registered for Stop; -1 when
  // it failed or the listener is stopping.
  int ConnectBackend(Connection& connection);
  void Finish(Connection& connection);

  SSL_CTX* const context_;
  const std::string backend_address_;
  const unsigned short backend_port_;
  const bool log_connections_;
  int listener_ = -1;
  unsigned short port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;

  ConnectionThreads<Connection> connections_;
};

}  // namespace sim
