// The server side of TLS for vekacs-sim and for tests that play a back end:
// a context from a certificate and key, optionally asking clients for a
// certificate from a given CA, limited to a range of protocol versions.
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace sim {

struct TlsServerOptions {
  std::string certificate;  // PEM: the server's certificate, then intermediates
  std::string key;          // PEM
  std::string client_ca;    // PEM of the CAs whose client certificates are asked for; empty: none asked for
  int min_version = TLS1_2_VERSION;
  int max_version = TLS1_3_VERSION;
};

// "1.2" or "1.0-1.2" (versions 1.0 to 1.3); false when not understood.
bool ParseTlsVersions(const std::string& text, int& min_version, int& max_version);

// A new context (the caller frees it), or null with error set. A client
// without a certificate from client_ca is still let in: the server only
// records what it was shown. Versions below 1.2 sign with SHA-1, which this
// context then allows (security level 0): it is a tool for tests.
SSL_CTX* NewServerContext(const TlsServerOptions& options, std::string& error);

}  // namespace sim
