// A TLS client connection to the back end, used through the TRSocket
// interface like a plain one: Connect also runs the handshake and validates
// the server, Send encrypts, Receive decrypts and keeps what did not fit the
// caller's buffer for the next call, Close also ends the TLS session.
//
// Results: 0 is success; TCP failures are errno values as for TRSocket; TLS
// failures are the negative 32-bit status values named below; a Send whose
// wait runs out is kStatusSendTimedOut; the peer's close_notify during
// Receive is kStatusContextExpired (positive), with the bytes before it
// counted. One thread uses a socket at a time; the class has no locks.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32)
#define SECURITY_WIN32
#include <windows.h>
#include <security.h>
#include <schannel.h>
#else
#include <openssl/ssl.h>
#endif

#include "net/TRSocket.h"

class TSecureSocket : public TRSocket {
 public:
  // The versions a session may offer, as the platform's flags: TLS 1.0 and
  // TLS 1.2, each for server (0x40, 0x400) and client (0x80, 0x800). A mask
  // with one client version offers that one alone.
  static constexpr int kTls10Client = 0x80;
  static constexpr int kTls12Client = 0x800;
  static constexpr int kDefaultProtocolMask = 3264;
  static constexpr int kStatusInternalError = static_cast<int>(0x80090304u);
  static constexpr int kStatusUnsupportedProtocol = static_cast<int>(0x80090302u);
  static constexpr int kStatusNoCredentials = static_cast<int>(0x8009030Eu);
  static constexpr int kStatusWrongPrincipal = static_cast<int>(0x80090322u);
  static constexpr int kStatusUntrustedRoot = static_cast<int>(0x80090325u);
  static constexpr int kStatusCertificateUnknown = static_cast<int>(0x80090327u);
  static constexpr int kStatusContextExpired = static_cast<int>(0x00090317u);
  static constexpr int kStatusSendTimedOut = 10107;

  TSecureSocket() = default;
  ~TSecureSocket() override;

  // The plain create: no TLS state. Use the extended Create for a connection.
  using TRSocket::Create;
  int Close() override;
  // TCP connect to host, then the client handshake: host names are checked
  // against the certificate and sent as SNI, dotted IPv4 addresses are checked
  // as addresses and not sent. The whole of it takes at most
  // kConnectTimeoutSeconds, a back end that answers a byte at a time
  // included.
#if defined(_WIN32)
  int Connect(const std::string& host, int port) override;
#else
  // The handshake's steps go on from the TCP connect's: the socket then
  // waits for what the TLS library asks for.
  int StartConnect(const std::string& host, int port, bool& to_write) override;
  int ContinueConnect(bool& to_write) override;
  int ConnectWaitFailed(int waited) override;
#endif
  int Receive(char* buffer, std::size_t length, std::size_t& received, bool& timed_out, int timeout_s, int flags,
              bool fill) override;
  int Send(const char* data, std::size_t length, std::size_t& sent, int timeout_s, int flags) override;
  bool ShortReceiveDrains() const override { return false; }
  // Flush is the plain one: it reads through this Receive, pending bytes first.

  // Takes a client context from the TLS layer and opens the socket. A
  // principal name (or a non-zero port, which means the server side) asks for
  // a certificate of this side's own, which the client never has:
  // kStatusNoCredentials. Also kStatusNoCredentials when the TLS layer is not
  // loaded; kStatusUnsupportedProtocol when protocol_mask enables neither
  // client version.
  int Create(int port, int type, const char* bind_address, int protocol_mask, const char* principal_name);

  // The protocol the handshake settled on (0x0301 for TLS 1.0, 0x0303 for
  // TLS 1.2), 0 when not connected.
  int NegotiatedVersion() const;

 protected:
  // A session the peer ended with a close_notify is closed even while the
  // TCP connection stays up; so is one that failed. Waiting bytes are looked
  // at through TLS: a close_notify, the end of the stream or a fatal alert
  // mean closed, the start of a record or application data do not.
  bool PeerClosed() const override;

 private:
  int CreateCredentials(bool server_side);
  bool HasCredentials() const;
  // A failed handshake: the session is broken, and the trace says why.
  int HandshakeFailed(int status);

  int protocol_mask_ = kDefaultProtocolMask;
  std::string principal_name_;
#if defined(_WIN32)
  // Schannel through SSPI; every wait ends by end.
  int PerformClientHandshake(const std::string& target, platform::WaitClock::time_point end);
  int SendToken(const SecBuffer& token, platform::WaitClock::time_point end);
  int ChooseClientCertificate();
  int CheckServerCertificate(const std::string& target) const;
  // Decrypts what incoming_ holds into plain_: 0 when a record came out,
  // kStatusContextExpired at the peer's close_notify, 1 when more bytes are
  // needed, else a failure status.
  int DecryptIncoming() const;
  void ShutDownSession();

  CredHandle credentials_{};
  bool has_credentials_ = false;
  CtxtHandle context_{};
  bool has_context_ = false;
  bool established_ = false;
  int version_ = 0;
  SecPkgContext_StreamSizes sizes_{};
  // Received records not yet decrypted, and decrypted bytes not yet taken;
  // IsClosed may have to read ahead to learn of a close, hence mutable.
  mutable std::string incoming_;
  mutable std::string plain_;
  mutable bool peer_closed_ = false;
#else
  // Waits for what OpenSSL asked for (want: SSL_ERROR_WANT_READ or _WRITE):
  // 0 ready, 1 timed out, else errno.
  int WaitForTls(int want, int timeout_s) const;
  // After the TCP connect: the session's target and the first handshake step.
  int BeginHandshake(bool& to_write);
  int HandshakeStep(bool& to_write);

  std::string target_;        // the host a connect under way checks the certificate against
  bool handshaking_ = false;  // the connect under way is past its TCP part

  SSL_CTX* context_ = nullptr;  // a reference of this socket's own
  SSL* ssl_ = nullptr;
#endif
  // After a fatal error the session must not be shut down politely; IsClosed
  // may be the one to find it, hence mutable.
  mutable bool broken_ = false;
};
