// The certificates this side can present when a TLS server asks for one:
// PEM pairs <name>.crt (the certificate, then any intermediates) and
// <name>.key in one folder. The server names the issuers it accepts; the
// first pair whose chain comes from one of them is sent, none when no pair
// fits.
//
// Threads: loaded once, then only read, from any number of handshakes at once.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <vector>

namespace net {

class ClientCertificates {
 public:
  // Every usable pair in folder, in name order; pairs that do not load or
  // whose key does not fit the certificate are left out and traced. A missing
  // folder gives an empty set.
  static std::unique_ptr<ClientCertificates> Load(const std::string& folder);
  ~ClientCertificates();
  ClientCertificates(const ClientCertificates&) = delete;
  ClientCertificates& operator=(const ClientCertificates&) = delete;

  std::size_t size() const { return pairs_.size(); }

  // Installed as the client context's certificate callback: puts the chosen
  // pair on ssl, or nothing. arg is the ClientCertificates.
  static int Choose(SSL* ssl, void* arg);

 private:
  struct Pair {
    std::string name;
    X509* certificate = nullptr;
    EVP_PKEY* key = nullptr;
    STACK_OF(X509)* chain = nullptr;
  };
  ClientCertificates() = default;
  // A pair fits when the server named no issuer, or named the issuer of its
  // certificate or of one of its intermediates; and it may serve a client.
  static bool Fits(const Pair& pair, const STACK_OF(X509_NAME)* accepted);

  std::vector<Pair> pairs_;
};

}  // namespace net
