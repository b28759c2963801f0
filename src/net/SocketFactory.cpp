#include "net/SocketFactory.h"

#include <new>

#include "diag/TraceLog.h"

std::unique_ptr<TRSocket> SocketFactory::Create() {
  if (options.useSSL) {
    // Secure sockets are made by the TLS layer; without it no TLS connection
    // can be offered.
    return nullptr;
  }
  std::unique_ptr<TRSocket> socket(new (std::nothrow) TRSocket());
  if (!socket) return nullptr;
  const int created = socket->Create(0, 1, nullptr);
  diag::TraceLine("Pool<type>::SocketFactory::Create: Create Socket returned: %d\n", created);
  if (created != 0) return nullptr;
  if (socket->Connect(options.host, options.port) != 0) {
    diag::TraceLine("Pool<type>::SocketFactory::Create: Failed to connect\n");
    return nullptr;
  }
  diag::TraceLine("Pool<type>::SocketFactory::Create: Create Successfull\n");
  return socket;
}

void SocketFactory::Destroy(std::unique_ptr<TRSocket> socket) {
  if (socket) socket->Close();
}
