#include "backend/SocketFactory.h"

#include <new>

#include "diag/TraceLog.h"
#include "net/TSecureSocket.h"

std::unique_ptr<TRSocket> SocketFactory::Open() const {
  std::unique_ptr<TRSocket> socket;
  if (options.useSSL) {
    auto secure = std::unique_ptr<TSecureSocket>(new (std::nothrow) TSecureSocket());
    if (!secure) return nullptr;
    if (secure->Create(0, 1, nullptr, TSecureSocket::kDefaultProtocolMask, nullptr) != 0) return nullptr;
    socket = std::move(secure);
  } else {
    socket.reset(new (std::nothrow) TRSocket());
    if (!socket) return nullptr;
    const int created = socket->Create(0, 1, nullptr);
    diag::TraceLine("Pool<type>::SocketFactory::Create: Create Socket returned: %d\n", created);
    if (created != 0) return nullptr;
  }
  return socket;
}

std::unique_ptr<TRSocket> SocketFactory::Connected(std::unique_ptr<TRSocket> socket, int result) {
  if (result != 0) {
    diag::TraceLine("Pool<type>::SocketFactory::Create: Failed to connect\n");
    return nullptr;
  }
  diag::TraceLine("Pool<type>::SocketFactory::Create: Create Successfull\n");
  return socket;
}

std::unique_ptr<TRSocket> SocketFactory::Create() {
  std::unique_ptr<TRSocket> socket = Open();
  if (!socket) return nullptr;
  const int result = socket->Connect(options.host, options.port);
  return Connected(std::move(socket), result);
}

void SocketFactory::Destroy(std::unique_ptr<TRSocket> socket) {
  if (socket) socket->Close();
}
