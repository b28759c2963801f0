#include "net/TSecureSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "diag/TraceLog.h"
#include "net/NoSignalBio.h"
#include "net/TlsContext.h"

namespace {

// The status of a failed handshake, by what went wrong, nearest first.
int HandshakeFailureStatus(const SSL* ssl, unsigned long error) {
  switch (SSL_get_verify_result(ssl)) {
    case X509_V_OK:
      break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return TSecureSocket::kStatusWrongPrincipal;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_CERT_UNTRUSTED:
      return TSecureSocket::kStatusUntrustedRoot;
    case X509_V_ERR_APPLICATION_VERIFICATION:  // the server settled on TLS 1.1
      return TSecureSocket::kStatusUnsupportedProtocol;
    default:
      return TSecureSocket::kStatusCertificateUnknown;
  }
  if (ERR_GET_LIB(error) == ERR_LIB_SSL) {
    switch (ERR_GET_REASON(error)) {
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_NO_PROTOCOLS_AVAILABLE:
      case SSL_R_WRONG_SSL_VERSION:
      case SSL_R_VERSION_TOO_LOW:
      case SSL_R_VERSION_TOO_HIGH:
      case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        return TSecureSocket::kStatusUnsupportedProtocol;
      default:
        break;
    }
  }
  return TSecureSocket::kStatusInternalError;
}

bool IsWant(int error) { return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE; }

// The context offers TLS 1.0 and 1.2; a mask that enables only one of them
// narrows the session to it. False when it enables neither.
bool OfferMaskVersions(SSL* ssl, int mask) {
  const bool tls10 = (mask & TSecureSocket::kTls10Client) != 0;
  const bool tls12 = (mask & TSecureSocket::kTls12Client) != 0;
  if (!tls10 && !tls12) return false;
  if (!tls10) return SSL_set_min_proto_version(ssl, TLS1_2_VERSION) == 1;
  if (!tls12) return SSL_set_max_proto_version(ssl, TLS1_VERSION) == 1;
  return true;
}

}  // namespace

int TSecureSocket::CreateCredentials(bool server_side) {
  // A certificate of this side's own (a server's, or a named principal) is
  // not kept anywhere; client certificates are chosen during the handshake.
  int status = 0;
  if (server_side || !principal_name_.empty()) {
    status = kStatusNoCredentials;
  } else if ((context_ = net::AcquireClientContext()) == nullptr) {
    status = kStatusNoCredentials;
  } else if ((ssl_ = SSL_new(context_)) == nullptr) {
    ERR_clear_error();
    status = kStatusInternalError;
  } else if (!OfferMaskVersions(ssl_, protocol_mask_)) {
    status = kStatusUnsupportedProtocol;
  }
  if (status != 0) {
    diag::TraceThreadLine("TSecureSocket::CreateCredentials: AcquireCredentialsHandleA failed. (%ld).\n",
                          static_cast<long>(status));
  }
  return status;
}

int TSecureSocket::Close() {
  if (ssl_ != nullptr) {
    // A close_notify tells the back end the session ended on purpose; after
    // an error the session is no longer in a state to say so.
    if (!broken_ && handle_ != kInvalidSocket && SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
    ERR_clear_error();
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (context_ != nullptr) {
    SSL_CTX_free(context_);
    context_ = nullptr;
  }
  principal_name_.clear();
  protocol_mask_ = kDefaultProtocolMask;
  broken_ = false;
  return TRSocket::Close();
}

bool TSecureSocket::HasCredentials() const { return ssl_ != nullptr; }

int TSecureSocket::NegotiatedVersion() const {
  return ssl_ != nullptr && SSL_is_init_finished(ssl_) ? SSL_version(ssl_) : 0;
}

int TSecureSocket::WaitForTls(int want, int timeout_s) const {
  return WaitFor(want == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, timeout_s);
}

int TSecureSocket::StartConnect(const std::string& host, int port, bool& to_write) {
  if (!HasCredentials()) return kStatusNoCredentials;
  target_ = host;
  handshaking_ = false;
  const int result = TRSocket::StartConnect(host, port, to_write);
  return result == 0 ? BeginHandshake(to_write) : result;
}

int TSecureSocket::ContinueConnect(bool& to_write) {
  if (handshaking_) return HandshakeStep(to_write);
  const int result = TRSocket::ContinueConnect(to_write);
  return result == 0 ? BeginHandshake(to_write) : result;
}

int TSecureSocket::ConnectWaitFailed(int waited) {
  if (!handshaking_) return TRSocket::ConnectWaitFailed(waited);
  // A handshake the back end stopped answering fails as OpenSSL left it.
  const int status = HandshakeFailureStatus(ssl_, ERR_peek_last_error());
  ERR_clear_error();
  return HandshakeFailed(status);
}

int TSecureSocket::BeginHandshake(bool& to_write) {
  handshaking_ = true;
  // Every call is tried first and waited for only when OpenSSL asks, so the
  // descriptor is non-blocking from here on.
  const int flags = fcntl(handle_, F_GETFL);
  if (flags < 0 || fcntl(handle_, F_SETFL, flags | O_NONBLOCK) != 0) return HandshakeFailed(errno);
  BIO* bio = net::NewNoSignalSocketBio(net::SocketBioMethod(context_), handle_);
  if (bio == nullptr) return HandshakeFailed(kStatusInternalError);
  SSL_set_bio(ssl_, bio, bio);
  in_addr address{};
  const bool dotted = inet_pton(AF_INET, target_.c_str(), &address) == 1;
  bool named;
  if (dotted) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), target_.c_str()) == 1;
  } else {
    SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = SSL_set1_host(ssl_, target_.c_str()) == 1 && SSL_set_tlsext_host_name(ssl_, target_.c_str()) == 1;
  }
  if (!named) {
    ERR_clear_error();
    return HandshakeFailed(kStatusInternalError);
  }
  return HandshakeStep(to_write);
}

int TSecureSocket::HandshakeStep(bool& to_write) {
  ERR_clear_error();
  const int result = SSL_connect(ssl_);
  if (result != 1) {
    const int error = SSL_get_error(ssl_, result);
    if (IsWant(error)) {
      to_write = error == SSL_ERROR_WANT_WRITE;
      return kConnectPending;
    }
    const int status = HandshakeFailureStatus(ssl_, ERR_peek_last_error());
    ERR_clear_error();
    return HandshakeFailed(status);
  }
  // The range of versions lets 1.1 through; only 1.0 and 1.2 are offered.
  const int version = SSL_version(ssl_);
  return version == TLS1_VERSION || version == TLS1_2_VERSION ? 0 : HandshakeFailed(kStatusUnsupportedProtocol);
}

int TSecureSocket::Send(const char* data, std::size_t length, std::size_t& sent, int timeout_s, int) {
  sent = 0;
  waits_to_write_ = false;
  if (ssl_ == nullptr || broken_) return kStatusInternalError;
  while (sent < length) {
    ERR_clear_error();
    const int chunk = static_cast<int>(std::min<std::size_t>(length - sent, INT_MAX));
    const int count = SSL_write(ssl_, data + sent, chunk);
    if (count > 0) {
      sent += static_cast<std::size_t>(count);
      continue;
    }
    const int error = SSL_get_error(ssl_, count);
    const int system_error = errno;
    ERR_clear_error();
    if (IsWant(error)) {
      if (timeout_s == 0) {
        waits_to_write_ = error == SSL_ERROR_WANT_WRITE;
        return kSendWouldBlock;
      }
      const int waited = WaitForTls(error, timeout_s);
      if (waited == 0) continue;
      if (waited == kWaitTimedOut) {
        diag::TraceLine("TSecureSocket::Send: Only sent %d bytes out of a requested %d\n", static_cast<int>(sent),
                        static_cast<int>(length));
        return kStatusSendTimedOut;
      }
      diag::TraceLine("TSecureSocket::Send: TRSocket::Send returned error code %d\n", waited);
      broken_ = true;
      return waited;
    }
    broken_ = true;
    if (error == SSL_ERROR_SYSCALL && system_error != 0) {
      diag::TraceLine("TSecureSocket::Send: TRSocket::Send returned error code %d\n", system_error);
      return system_error;
    }
    return kStatusInternalError;
  }
  return 0;
}

int TSecureSocket::Receive(char* buffer, std::size_t length, std::size_t& received, bool& timed_out, int timeout_s,
                           int, bool fill) {
  received = 0;
  timed_out = false;
  waits_to_write_ = false;
  if (ssl_ == nullptr || broken_) return kStatusInternalError;
  while (received < length) {
    // Decrypted bytes that an earlier call left over come out of SSL_read
    // without a network read, so the wait below only happens when none are left.
    ERR_clear_error();
    const int chunk = static_cast<int>(std::min<std::size_t>(length - received, INT_MAX));
    const int count = SSL_read(ssl_, buffer + received, chunk);
    if (count > 0) {
      received += static_cast<std::size_t>(count);
      if (!fill) return 0;
      continue;
    }
    const int error = SSL_get_error(ssl_, count);
    const int system_error = errno;
    ERR_clear_error();
    if (IsWant(error)) {
      const int waited = timeout_s == 0 ? kWaitTimedOut : WaitForTls(error, timeout_s);
      if (waited == 0) continue;
      if (waited == kWaitTimedOut) {
        waits_to_write_ = error == SSL_ERROR_WANT_WRITE;
        timed_out = true;
        return 0;
      }
      diag::TraceLine("TSecureSocket::Receive: TRSocket::Receive returned error code %d\n", waited);
      broken_ = true;
      return kStatusInternalError;
    }
    if (error == SSL_ERROR_ZERO_RETURN) return kStatusContextExpired;
    // The end of the stream without a close_notify may be a cut-off answer.
    broken_ = true;
    if (error == SSL_ERROR_SYSCALL && system_error != 0) {
      diag::TraceLine("TSecureSocket::Receive: TRSocket::Receive returned error code %d\n", system_error);
    }
    return kStatusInternalError;
  }
  return 0;
}

bool TSecureSocket::PeerClosed() const {
  if (ssl_ == nullptr || broken_ || (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) != 0) return true;
  if (SSL_pending(ssl_) > 0) return false;
  pollfd wait{handle_, POLLIN, 0};
  const int ready = poll(&wait, 1, 0);
  if (ready < 0) return true;
  if (ready == 0) return false;
  char probe = 0;
  ERR_clear_error();
  const int count = SSL_peek(ssl_, &probe, 1);
  if (count > 0) return false;
  const int error = SSL_get_error(ssl_, count);
  ERR_clear_error();
  if (IsWant(error)) return false;
  if (error != SSL_ERROR_ZERO_RETURN) broken_ = true;
  return true;
}
