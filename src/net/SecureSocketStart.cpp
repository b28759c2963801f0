// What making and connecting a secure socket has in common on both
// platforms; the TLS library's side is in TSecureSocket.cpp of each.
#include <chrono>

#include "diag/TraceLog.h"
#include "net/SocketSystem.h"
#include "net/TSecureSocket.h"

TSecureSocket::~TSecureSocket() { TSecureSocket::Close(); }

int TSecureSocket::Create(int port, int type, const char* bind_address, int protocol_mask,
                          const char* principal_name) {
  if (principal_name == nullptr && port != 0) {
    char name[64] = "";
    if (gethostname(name, sizeof name - 1) == 0) principal_name_ = name;
  } else if (principal_name != nullptr) {
    principal_name_ = principal_name;
  }
  protocol_mask_ = protocol_mask;
  if (const int status = CreateCredentials(port != 0); status != 0) {
    Close();
    return status;
  }
  if (const int error = TRSocket::Create(port, type, bind_address); error != 0) {
    Close();
    return error;
  }
  return 0;
}

#if defined(_WIN32)
int TSecureSocket::Connect(const std::string& host, int port) {
  if (!HasCredentials()) return kStatusNoCredentials;
  // The TCP connect and the handshake share one limit.
  const auto end = platform::WaitClock::now() + std::chrono::seconds(kConnectTimeoutSeconds);
  if (const int error = TRSocket::Connect(host, port); error != 0) return error;
  const int status = PerformClientHandshake(host, end);
  return status == 0 ? 0 : HandshakeFailed(status);
}
#endif

int TSecureSocket::HandshakeFailed(int status) {
  broken_ = true;
  if (status == kStatusWrongPrincipal) {
    diag::TraceThreadLine(
        "TSecureSocket::Connect: PerformClientHandshake failed. The target principal name is incorrect(%ld).\n",
        static_cast<long>(status));
  } else if (status == kStatusUntrustedRoot) {
    diag::TraceThreadLine(
        "TSecureSocket::Connect: PerformClientHandshake failed. The certificate chain was issued by an untrusted "
        "authority(%ld).\n",
        static_cast<long>(status));
  } else {
    diag::TraceThreadLine("TSecureSocket::Connect: PerformClientHandshake failed. error=%ld\n",
                          static_cast<long>(status));
  }
  return status;
}
