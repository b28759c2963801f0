#include "sim/TlsServerContext.h"

#include <openssl/err.h>

namespace sim {
namespace {

int VersionNumber(const std::string& text) {
  if (text == "1.0") return TLS1_VERSION;
  if (text == "1.1") return TLS1_1_VERSION;
  if (text == "1.2") return TLS1_2_VERSION;
  if (text == "1.3") return TLS1_3_VERSION;
  return 0;
}

std::string LastError(const std::string& what) {
  char reason[256] = "";
  ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
  ERR_clear_error();
  return what + ": " + reason;
}

}  // namespace

bool ParseTlsVersions(const std::string& text, int& min_version, int& max_version) {
  const auto dash = text.find('-');
  const int low = VersionNumber(text.substr(0, dash));
  const int high = dash == std::string::npos ? low : VersionNumber(text.substr(dash + 1));
  if (low == 0 || high == 0 || low > high) return false;
  min_version = low;
  max_version = high;
  return true;
}

SSL_CTX* NewServerContext(const TlsServerOptions& options, std::string& error) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) {
    error = LastError("no TLS context");
    return nullptr;
  }
  const auto fail = [&](const std::string& what) {
    error = LastError(what);
    SSL_CTX_free(context);
    return nullptr;
  };
  if (options.min_version < TLS1_2_VERSION) SSL_CTX_set_security_level(context, 0);
  if (SSL_CTX_set_min_proto_version(context, options.min_version) != 1 ||
      SSL_CTX_set_max_proto_version(context, options.max_version) != 1) {
    return fail("protocol versions");
  }
  if (SSL_CTX_use_certificate_chain_file(context, options.certificate.c_str()) != 1) {
    return fail("certificate " + options.certificate);
  }
  if (SSL_CTX_use_PrivateKey_file(context, options.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    return fail("key " + options.key);
  }
  if (!options.client_ca.empty()) {
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(options.client_ca.c_str());
    if (names == nullptr || SSL_CTX_load_verify_locations(context, options.client_ca.c_str(), nullptr) != 1) {
      sk_X509_NAME_pop_free(names, X509_NAME_free);
      return fail("client CA " + options.client_ca);
    }
    SSL_CTX_set_client_CA_list(context, names);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  }
  return context;
}

}  // namespace sim
