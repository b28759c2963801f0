#include "net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <mutex>

#include "diag/TraceLog.h"
#include "net/ClientCertificates.h"
#include "net/NoSignalBio.h"
#include "net/Winsock.h"

namespace net {
namespace {

using SecurityCallback = int (*)(const SSL*, const SSL_CTX*, int, int, int, void*, void*);

std::mutex g_mutex;
SSL_CTX* g_context = nullptr;  // guarded by g_mutex
int g_loads = 0;               // guarded by g_mutex

// OpenSSL's own security callback, to which ours defers; the same function
// for every context, so it is read once.
SecurityCallback DefaultSecurityCallback() {
  static const SecurityCallback callback = [] {
    SSL_CTX* probe = SSL_CTX_new(TLS_client_method());
    const SecurityCallback found = probe != nullptr ? SSL_CTX_get_security_callback(probe) : nullptr;
    SSL_CTX_free(probe);
    return found;
  }();
  return callback;
}

// TLS 1.0 can only sign with SHA-1 or MD5+SHA-1, which the security level
// forbids everywhere. They are allowed on a connection that has settled on
// TLS 1.0 and nowhere else: a TLS 1.2 connection keeps the full level, and
// the level itself is never lowered.
int AllowLegacySignaturesOnTls10(const SSL* ssl, const SSL_CTX* context, int op, int bits, int nid, void* other,
                                 void* ex) {
  const bool signature = op == SSL_SECOP_SIGALG_CHECK || op == SSL_SECOP_SIGALG_SHARED ||
                         op == SSL_SECOP_SIGALG_SUPPORTED;
  if (signature && ssl != nullptr && SSL_version(ssl) == TLS1_VERSION && (nid == NID_sha1 || nid == NID_md5_sha1)) {
    return 1;
  }
  const SecurityCallback fallback = DefaultSecurityCallback();
  return fallback != nullptr ? fallback(ssl, context, op, bits, nid, other, ex) : 0;
}

// OpenSSL keeps one contiguous range of versions, so 1.0 to 1.2 lets 1.1
// through; a server that settles on 1.1 is refused here, before any of its
// messages is trusted.
int RefuseTls11(int preverified, X509_STORE_CTX* store) {
  const auto* ssl = static_cast<const SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (ssl != nullptr && SSL_version(ssl) == TLS1_1_VERSION) {
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
  return preverified;
}

// The client certificates live exactly as long as the context.
int CertificatesIndex() {
  static const int index = SSL_CTX_get_ex_new_index(
      0, nullptr, nullptr, nullptr, [](void*, void* certificates, CRYPTO_EX_DATA*, int, long, void*) {
        delete static_cast<ClientCertificates*>(certificates);
      });
  return index;
}

// The BIO method likewise: a module unloaded with connections still open
// would otherwise leave them a method freed by its static destructors.
int BioMethodIndex() {
  static const int index = SSL_CTX_get_ex_new_index(
      0, nullptr, nullptr, nullptr,
      [](void*, void* method, CRYPTO_EX_DATA*, int, long, void*) { BIO_meth_free(static_cast<BIO_METHOD*>(method)); });
  return index;
}

SSL_CTX* NewClientContext(const std::string& client_certificate_folder) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return nullptr;
  auto certificates = ClientCertificates::Load(client_certificate_folder);
  BIO_METHOD* method = NewNoSignalSocketMethod();
  if (method == nullptr || BioMethodIndex() < 0 || SSL_CTX_set_ex_data(context, BioMethodIndex(), method) != 1) {
    BIO_meth_free(method);
    SSL_CTX_free(context);
    return nullptr;
  }
  // From here the context owns the method.
  const bool ready = SSL_CTX_set_min_proto_version(context, TLS1_VERSION) == 1 &&
                     SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION) == 1 &&
                     SSL_CTX_set_default_verify_paths(context) == 1 && CertificatesIndex() >= 0 &&
                     SSL_CTX_set_ex_data(context, CertificatesIndex(), certificates.get()) == 1;
  if (!ready) {
    SSL_CTX_free(context);
    return nullptr;
  }
  // From here the context owns the certificates.
  SSL_CTX_set_cert_cb(context, ClientCertificates::Choose, certificates.release());
  SSL_CTX_set_security_callback(context, AllowLegacySignaturesOnTls10);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, RefuseTls11);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Connections are long-lived and few: no session cache to keep.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  return context;
}

void DropLoad() {
  std::lock_guard lock(g_mutex);
  if (g_loads == 0) return;
  if (--g_loads == 0) {
    SSL_CTX_free(g_context);
    g_context = nullptr;
  }
}

}  // namespace

bool LoadSecurityInterface(const std::string& client_certificate_folder) {
  {
    std::lock_guard lock(g_mutex);
    if (g_loads == 0) {
      ERR_clear_error();
      g_context = NewClientContext(client_certificate_folder);
      if (g_context == nullptr) {
        char reason[256] = "";
        ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
        ERR_clear_error();
        diag::TraceThreadLine("LoadSecurityInterface: no TLS client context: %s\n", reason);
        return false;
      }
    }
    ++g_loads;
  }
  if (WinsockStartup() == 0) return true;
  DropLoad();
  return false;
}

void UnloadSecurityInterface() {
  {
    std::lock_guard lock(g_mutex);
    if (g_loads == 0) return;  // nothing loaded: nothing of the network count is ours
  }
  DropLoad();
  WinsockCleanup();
}

const BIO_METHOD* SocketBioMethod(const SSL_CTX* context) {
  return context != nullptr ? static_cast<const BIO_METHOD*>(SSL_CTX_get_ex_data(context, BioMethodIndex())) : nullptr;
}

SSL_CTX* AcquireClientContext() {
  std::lock_guard lock(g_mutex);
  if (g_context == nullptr || SSL_CTX_up_ref(g_context) != 1) return nullptr;
  return g_context;
}

}  // namespace net
