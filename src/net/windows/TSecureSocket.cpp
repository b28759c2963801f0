// TSecureSocket through Schannel (SSPI): the handshake loop of
// InitializeSecurityContext, the server's chain and name checked against the
// machine's trusted roots, records sealed with EncryptMessage and opened with
// DecryptMessage in the sizes QueryContextAttributes gives.
#include "net/TSecureSocket.h"

#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <climits>

#include "diag/TraceLog.h"
#include "net/SocketSystem.h"
#include "net/windows/ClientCertificateStore.h"

namespace {

constexpr DWORD kContextRequests = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                   ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

// What the back end's records may hold at most, header and trailer included.
constexpr std::size_t kMaxRecordBytes = 16384 + 2048;

bool IsDotted(const std::string& host) {
  in_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1;
}

// The status a chain policy's error stands for.
int StatusForPolicyError(DWORD error) {
  switch (error) {
    case 0:
      return 0;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return TSecureSocket::kStatusWrongPrincipal;
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
    case static_cast<DWORD>(TRUST_E_CERT_SIGNATURE):
      return TSecureSocket::kStatusUntrustedRoot;
    default:
      return TSecureSocket::kStatusCertificateUnknown;
  }
}

int StatusOf(SECURITY_STATUS status) { return static_cast<int>(status); }

static_assert(TSecureSocket::kTls10Client == SP_PROT_TLS1_0_CLIENT &&
              TSecureSocket::kTls12Client == SP_PROT_TLS1_2_CLIENT);

// The versions a mask offers: TLS 1.0 and 1.2 only, whatever else it names.
DWORD OfferedProtocols(int mask) {
  return static_cast<DWORD>(mask) & (TSecureSocket::kTls10Client | TSecureSocket::kTls12Client);
}

// Whether the server's answer refuses the versions offered: a ServerHello
// for another version, or a protocol_version alert. Each Schannel reports
// that failure in its own words; the module's status names it.
bool RefusesOfferedVersions(const std::string& answer) {
  const auto byte = [&](std::size_t at) { return at < answer.size() ? static_cast<unsigned char>(answer[at]) : 0; };
  constexpr unsigned char kAlert = 0x15, kHandshake = 0x16, kServerHello = 0x02, kProtocolVersion = 70;
  if (byte(0) == kAlert) return byte(6) == kProtocolVersion;
  if (byte(0) != kHandshake || byte(5) != kServerHello || answer.size() < 11) return false;
  const int version = (byte(9) << 8) | byte(10);
  return version != 0x0301 && version != 0x0303;
}

int VersionOf(DWORD protocol) {
  if ((protocol & SP_PROT_TLS1_0_CLIENT) != 0) return 0x0301;
  if ((protocol & SP_PROT_TLS1_2_CLIENT) != 0) return 0x0303;
  return 0;
}

}  // namespace

int TSecureSocket::CreateCredentials(bool server_side) {
  // A certificate of this side's own (a server's, or a named principal) is
  // not kept anywhere; client certificates are chosen during the handshake.
  int status = 0;
  if (server_side || !principal_name_.empty() || !net::SecurityInterfaceLoaded()) {
    status = kStatusNoCredentials;
  } else if (OfferedProtocols(protocol_mask_) == 0) {
    status = kStatusUnsupportedProtocol;
  } else {
    // The chain and name are checked after the handshake.
    const SECURITY_STATUS acquired =
        net::AcquireClientCredentials(OfferedProtocols(protocol_mask_), nullptr, credentials_);
    if (acquired == SEC_E_OK) {
      has_credentials_ = true;
    } else {
      status = StatusOf(acquired);
    }
  }
  if (status != 0) {
    diag::TraceThreadLine("TSecureSocket::CreateCredentials: AcquireCredentialsHandleA failed. (%ld).\n",
                          static_cast<long>(status));
  }
  return status;
}

void TSecureSocket::ShutDownSession() {
  // A close_notify tells the back end the session ended on purpose.
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc control_list{SECBUFFER_VERSION, 1, &control};
  if (ApplyControlToken(&context_, &control_list) != SEC_E_OK) return;
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out_list{SECBUFFER_VERSION, 1, &out};
  DWORD attributes = 0;
  const SECURITY_STATUS status = InitializeSecurityContextA(&credentials_, &context_, nullptr, kContextRequests, 0, 0,
                                                            nullptr, 0, nullptr, &out_list, &attributes, nullptr);
  if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && out.pvBuffer != nullptr) {
    SendToken(out, platform::WaitClock::now() + std::chrono::seconds(kConnectTimeoutSeconds));
  }
  if (out.pvBuffer != nullptr) FreeContextBuffer(out.pvBuffer);
}

int TSecureSocket::Close() {
  if (has_context_) {
    if (established_ && !broken_ && !peer_closed_ && handle_ != kInvalidSocket) ShutDownSession();
    DeleteSecurityContext(&context_);
    has_context_ = false;
  }
  if (has_credentials_) {
    FreeCredentialsHandle(&credentials_);
    has_credentials_ = false;
  }
  established_ = false;
  version_ = 0;
  incoming_.clear();
  plain_.clear();
  peer_closed_ = false;
  principal_name_.clear();
  protocol_mask_ = kDefaultProtocolMask;
  broken_ = false;
  return TRSocket::Close();
}

bool TSecureSocket::HasCredentials() const { return has_credentials_; }

int TSecureSocket::NegotiatedVersion() const { return established_ ? version_ : 0; }

int TSecureSocket::SendToken(const SecBuffer& token, platform::WaitClock::time_point end) {
  const auto left = end - platform::WaitClock::now();
  if (left <= platform::WaitClock::duration::zero()) return WSAETIMEDOUT;
  // Send counts whole seconds: what is left, rounded up.
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(left).count();
  std::size_t sent = 0;
  return TRSocket::Send(static_cast<const char*>(token.pvBuffer), token.cbBuffer, sent, static_cast<int>(seconds), 0);
}

int TSecureSocket::PerformClientHandshake(const std::string& target, platform::WaitClock::time_point end) {
  // A host name goes out as SNI and is the name the certificate must carry;
  // an address is not sent.
  SEC_CHAR* name = IsDotted(target) ? nullptr : const_cast<SEC_CHAR*>(target.c_str());
  incoming_.clear();
  bool first = true;
  bool need_input = false;
  while (true) {
    if (need_input) {
      char chunk[4096];
      std::size_t received = 0;
      bool timed_out = false;
      // The limit is the whole handshake's: a server that sends its
      // messages a byte at a time never lets a wait of its own run out.
      const int waited = WaitUntil(POLLIN, end);
      if (waited == kWaitTimedOut) return WSAETIMEDOUT;
      if (waited != 0) return waited;
      const int error = TRSocket::Receive(chunk, sizeof chunk, received, timed_out, 0, 0, false);
      if (error != 0) return error;
      if (timed_out) continue;  // readable, yet nothing came: wait again
      if (received == 0) return kStatusInternalError;  // the server hung up
      incoming_.append(chunk, received);
    }
    SecBuffer in[2] = {{static_cast<unsigned long>(incoming_.size()), SECBUFFER_TOKEN, incoming_.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_list{SECBUFFER_VERSION, 2, in};
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc out_list{SECBUFFER_VERSION, 2, out};
    DWORD attributes = 0;
    const SECURITY_STATUS status =
        InitializeSecurityContextA(&credentials_, first ? nullptr : &context_, name, kContextRequests, 0, 0,
                                   first ? nullptr : &in_list, 0, first ? &context_ : nullptr, &out_list, &attributes,
                                   nullptr);
    if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) has_context_ = true;
    first = false;
    int sent = 0;
    if (out[0].pvBuffer != nullptr) {
      if (out[0].cbBuffer > 0 && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || FAILED(status))) {
        sent = SendToken(out[0], end);
      }
      FreeContextBuffer(out[0].pvBuffer);
    }
    if (out[1].pvBuffer != nullptr) FreeContextBuffer(out[1].pvBuffer);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      need_input = true;
      continue;
    }
    if (FAILED(status)) return RefusesOfferedVersions(incoming_) ? kStatusUnsupportedProtocol : StatusOf(status);
    if (sent != 0) return sent;
    // What the call did not consume is the start of the next message.
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
      incoming_.erase(0, incoming_.size() - in[1].cbBuffer);
    } else {
      incoming_.clear();
    }
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
      if (const int chosen = ChooseClientCertificate(); chosen != 0) return chosen;
      need_input = false;
      continue;
    }
    if (status == SEC_E_OK) break;
    if (status != SEC_I_CONTINUE_NEEDED) return kStatusInternalError;
    need_input = incoming_.empty();
  }
  SecPkgContext_ConnectionInfo connection{};
  if (QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK ||
      QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK) {
    return kStatusInternalError;
  }
  // Only 1.0 and 1.2 are offered; anything else is refused however it came.
  version_ = VersionOf(connection.dwProtocol);
  if (version_ == 0) return kStatusUnsupportedProtocol;
  if (const int checked = CheckServerCertificate(target); checked != 0) return checked;
  established_ = true;
  return 0;
}

int TSecureSocket::ChooseClientCertificate() {
  // The server named the issuers it accepts: the first certificate of the
  // folder issued by one of them goes out, or none.
  SecPkgContext_IssuerListInfoEx issuers{};
  const bool listed = QueryContextAttributesA(&context_, SECPKG_ATTR_ISSUER_LIST_EX, &issuers) == SEC_E_OK;
  PCCERT_CONTEXT chosen = net::FindClientCertificate(listed ? issuers.aIssuers : nullptr,
                                                     listed ? issuers.cIssuers : 0);
  if (listed && issuers.aIssuers != nullptr) FreeContextBuffer(issuers.aIssuers);
  CredHandle replacement{};
  const SECURITY_STATUS acquired =
      net::AcquireClientCredentials(OfferedProtocols(protocol_mask_), chosen, replacement);
  if (chosen != nullptr) CertFreeCertificateContext(chosen);
  if (acquired != SEC_E_OK) return StatusOf(acquired);
  FreeCredentialsHandle(&credentials_);
  credentials_ = replacement;
  return 0;
}

int TSecureSocket::CheckServerCertificate(const std::string& target) const {
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesA(const_cast<CtxtHandle*>(&context_), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
          SEC_E_OK ||
      certificate == nullptr) {
    return kStatusCertificateUnknown;
  }
  const bool dotted = IsDotted(target);
  CERT_CHAIN_PARA chain_para{};
  chain_para.cbSize = sizeof chain_para;
  LPSTR server_usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
  chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = server_usage;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  int status = kStatusCertificateUnknown;
  if (CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chain_para, 0, nullptr,
                              &chain)) {
    std::wstring wide_name(target.begin(), target.end());
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl_para{};
    ssl_para.cbSize = sizeof ssl_para;
    ssl_para.dwAuthType = AUTHTYPE_SERVER;
    // An address is matched below, against the certificate's addresses.
    ssl_para.pwszServerName = dotted ? nullptr : wide_name.data();
    CERT_CHAIN_POLICY_PARA policy_para{};
    policy_para.cbSize = sizeof policy_para;
    policy_para.pvExtraPolicyPara = &ssl_para;
    CERT_CHAIN_POLICY_STATUS policy_status{};
    policy_status.cbSize = sizeof policy_status;
    // The chain's own verdict first: some SSL policies pass a chain that
    // does not reach a trusted root.
    const DWORD trust = chain->TrustStatus.dwErrorStatus;
    if ((trust & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) != 0) {
      status = kStatusUntrustedRoot;
    } else if ((trust & (CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_REVOKED |
                         CERT_TRUST_IS_NOT_VALID_FOR_USAGE)) != 0) {
      status = kStatusCertificateUnknown;
    } else if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy_para, &policy_status)) {
      status = StatusForPolicyError(policy_status.dwError);
    }
    CertFreeCertificateChain(chain);
  }
  if (status == 0 && dotted && !net::CertificateNamesAddress(certificate, target)) status = kStatusWrongPrincipal;
  CertFreeCertificateContext(certificate);
  return status;
}

int TSecureSocket::Send(const char* data, std::size_t length, std::size_t& sent, int timeout_s, int flags) {
  sent = 0;
  if (!established_ || broken_) return kStatusInternalError;
  std::string record;
  while (sent < length) {
    const std::size_t chunk = std::min<std::size_t>(length - sent, sizes_.cbMaximumMessage);
    record.assign(sizes_.cbHeader, '\0');
    record.append(data + sent, chunk);
    record.append(sizes_.cbTrailer, '\0');
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<unsigned long>(chunk), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + chunk},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc list{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = EncryptMessage(&context_, 0, &list, 0);
    if (status != SEC_E_OK) {
      broken_ = true;
      return StatusOf(status);
    }
    const std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
    std::size_t written = 0;
    const int error = TRSocket::Send(record.data(), total, written, timeout_s, flags);
    if (error == WSAETIMEDOUT) {
      diag::TraceLine("TSecureSocket::Send: Only sent %d bytes out of a requested %d\n", static_cast<int>(sent),
                      static_cast<int>(length));
      broken_ = true;  // part of a record is on the wire
      return kStatusSendTimedOut;
    }
    if (error != 0) {
      diag::TraceLine("TSecureSocket::Send: TRSocket::Send returned error code %d\n", error);
      broken_ = true;
      return error;
    }
    sent += chunk;
  }
  return 0;
}

int TSecureSocket::DecryptIncoming() const {
  if (incoming_.empty()) return 1;
  SecBuffer buffers[4] = {{static_cast<unsigned long>(incoming_.size()), SECBUFFER_DATA, incoming_.data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc list{SECBUFFER_VERSION, 4, buffers};
  const SECURITY_STATUS status = DecryptMessage(const_cast<CtxtHandle*>(&context_), &list, 0, nullptr);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return 1;
  if (status == SEC_I_CONTEXT_EXPIRED) {
    peer_closed_ = true;
    incoming_.clear();
    return kStatusContextExpired;
  }
  if (status != SEC_E_OK) {
    // A renegotiation is not offered; anything else is a damaged stream.
    broken_ = true;
    return status == SEC_I_RENEGOTIATE ? kStatusInternalError : StatusOf(status);
  }
  std::string extra;
  for (const auto& buffer : buffers) {
    if (buffer.BufferType == SECBUFFER_DATA) plain_.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
    if (buffer.BufferType == SECBUFFER_EXTRA) extra.assign(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
  }
  incoming_ = std::move(extra);
  return 0;
}

int TSecureSocket::Receive(char* buffer, std::size_t length, std::size_t& received, bool& timed_out, int timeout_s,
                           int, bool fill) {
  received = 0;
  timed_out = false;
  if (!established_ || broken_) return kStatusInternalError;
  while (received < length) {
    if (!plain_.empty()) {
      // Decrypted bytes an earlier call left over come out first, without
      // a network read.
      const std::size_t count = std::min(plain_.size(), length - received);
      plain_.copy(buffer + received, count);
      plain_.erase(0, count);
      received += count;
      if (!fill) return 0;
      continue;
    }
    if (peer_closed_) return kStatusContextExpired;
    const int decrypted = DecryptIncoming();
    if (decrypted == 0) continue;
    if (decrypted != 1) return decrypted;
    char chunk[kMaxRecordBytes];
    std::size_t count = 0;
    bool waited_out = false;
    const int error = TRSocket::Receive(chunk, sizeof chunk, count, waited_out, timeout_s, 0, false);
    if (error != 0) {
      diag::TraceLine("TSecureSocket::Receive: TRSocket::Receive returned error code %d\n", error);
      broken_ = true;
      return kStatusInternalError;
    }
    if (waited_out) {
      timed_out = true;
      return 0;
    }
    // The end of the stream without a close_notify may be a cut-off answer.
    if (count == 0) {
      broken_ = true;
      return kStatusInternalError;
    }
    incoming_.append(chunk, count);
  }
  return 0;
}

bool TSecureSocket::PeerClosed() const {
  if (!established_ || broken_ || peer_closed_) return true;
  if (!plain_.empty()) return false;
  // Reads what has arrived, without waiting: a close_notify or the end of the
  // stream close the session, a record of data does not (it is kept).
  while (true) {
    const int decrypted = DecryptIncoming();
    if (decrypted == 0) return false;
    if (decrypted != 1) return true;
    char chunk[kMaxRecordBytes];
    const int count = recv(net::Native(handle_), chunk, sizeof chunk, 0);
    if (count > 0) {
      incoming_.append(chunk, static_cast<std::size_t>(count));
      continue;
    }
    if (count < 0 && net::LastSocketError() == WSAEWOULDBLOCK) return false;
    if (count == 0) broken_ = !incoming_.empty();
    return true;
  }
}
