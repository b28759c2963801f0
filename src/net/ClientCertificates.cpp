#include "net/ClientCertificates.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "diag/TraceLog.h"

namespace net {
namespace {

constexpr const char* kCertificateSuffix = ".crt";
constexpr const char* kKeySuffix = ".key";

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

ClientCertificates::~ClientCertificates() {
  for (auto& pair : pairs_) {
    X509_free(pair.certificate);
    EVP_PKEY_free(pair.key);
    sk_X509_pop_free(pair.chain, X509_free);
  }
}

std::unique_ptr<ClientCertificates> ClientCertificates::Load(const std::string& folder) {
  std::unique_ptr<ClientCertificates> set(new ClientCertificates());
  std::error_code error;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().extension() == kCertificateSuffix) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& path : files) {
    Pair pair;
    pair.name = path.stem().string();
    File certificates(std::fopen(path.c_str(), "r"));
    File key(std::fopen(std::filesystem::path(path).replace_extension(kKeySuffix).c_str(), "r"));
    if (certificates && key) {
      pair.certificate = PEM_read_X509(certificates.get(), nullptr, nullptr, nullptr);
      pair.chain = sk_X509_new_null();
      while (X509* extra = PEM_read_X509(certificates.get(), nullptr, nullptr, nullptr)) {
        sk_X509_push(pair.chain, extra);
      }
      pair.key = PEM_read_PrivateKey(key.get(), nullptr, nullptr, nullptr);
    }
    ERR_clear_error();  // the end of the file reads as an error
    if (pair.certificate == nullptr || pair.key == nullptr || X509_check_private_key(pair.certificate, pair.key) != 1) {
      ERR_clear_error();
      diag::TraceText("ClientCertificates: %s%s is left out: no certificate with its key in %s\n", pair.name.c_str(),
                      kCertificateSuffix, folder.c_str());
      X509_free(pair.certificate);
      EVP_PKEY_free(pair.key);
      sk_X509_pop_free(pair.chain, X509_free);
      continue;
    }
    set->pairs_.push_back(pair);
  }
  return set;
}

bool ClientCertificates::Fits(const Pair& pair, const STACK_OF(X509_NAME)* accepted) {
  if (X509_check_purpose(pair.certificate, X509_PURPOSE_SSL_CLIENT, 0) != 1) return false;
  const int count = accepted == nullptr ? 0 : sk_X509_NAME_num(accepted);
  if (count == 0) return true;
  const auto named = [&](const X509* certificate) {
    for (int i = 0; i < count; ++i) {
      if (X509_NAME_cmp(X509_get_issuer_name(certificate), sk_X509_NAME_value(accepted, i)) == 0) return true;
    }
    return false;
  };
  if (named(pair.certificate)) return true;
  for (int i = 0; i < sk_X509_num(pair.chain); ++i) {
    if (named(sk_X509_value(pair.chain, i))) return true;
  }
  return false;
}

int ClientCertificates::Choose(SSL* ssl, void* arg) {
  const auto* set = static_cast<const ClientCertificates*>(arg);
  const STACK_OF(X509_NAME)* accepted = SSL_get_client_CA_list(ssl);
  for (const auto& pair : set->pairs_) {
    if (!Fits(pair, accepted)) continue;
    if (SSL_use_certificate(ssl, pair.certificate) == 1 && SSL_use_PrivateKey(ssl, pair.key) == 1 &&
        SSL_set1_chain(ssl, pair.chain) == 1) {
      return 1;
    }
    ERR_clear_error();
  }
  return 1;  // nothing fits: the handshake goes on without a certificate
}

}  // namespace net
