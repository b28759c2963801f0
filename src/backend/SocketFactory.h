// Makes the connected sockets that a pool lends out.
#pragma once

#include <memory>
#include <string>

#include "generic/PoolInterfaces.h"
#include "net/TRSocket.h"

struct SocketFactoryOptions {
  virtual ~SocketFactoryOptions() = default;
  void CopyFrom(const SocketFactoryOptions& other) { *this = other; }

  std::string host;
  int port = 0;
  bool useSSL = false;
};

class SocketFactory : public Generic::FactoryInterface<TRSocket> {
 public:
  // Set before the pool is built; read-only afterwards, so Create may run on
  // several threads at once.
  SocketFactoryOptions options;

  // A socket connected to the configured host and port, or null.
  std::unique_ptr<TRSocket> Create() override;
  // Create in two halves, for a caller that connects without waiting: a
  // socket not yet connected (or null), and the socket once its connect
  // ended with result (null unless result is 0).
  std::unique_ptr<TRSocket> Open() const;
  static std::unique_ptr<TRSocket> Connected(std::unique_ptr<TRSocket> socket, int result);
  void Destroy(std::unique_ptr<TRSocket> socket) override;
};

using SocketPool = Generic::PoolType<TRSocket>;
