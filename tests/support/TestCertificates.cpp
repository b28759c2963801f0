#include "support/TestCertificates.h"

#include <cstdlib>
#include <filesystem>

namespace {

// EC keys are made in a moment; the server's is RSA so that TLS 1.0 also
// signs with MD5+SHA-1.
constexpr const char* kEcKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1";
constexpr const char* kRsaKey = "-newkey rsa:2048";

}  // namespace

TestCertificates::TestCertificates() {
  std::filesystem::create_directories(path() + "clientcerts");
  std::filesystem::create_directories(path() + "empty");
  const std::string server_names = "subjectAltName=DNS:localhost,IP:127.0.0.1\\nbasicConstraints=CA:FALSE";
  const std::string client = "basicConstraints=CA:FALSE\\nextendedKeyUsage=clientAuth";
  ok_ = MakeCa("ca") && MakeCa("rogue-ca") && MakeCa("client-ca-a") && MakeCa("client-ca-b") &&
        MakeCa("client-ca-c") && MakeLeaf("server", "ca", "/CN=localhost", server_names, kRsaKey) &&
        MakeLeaf("wrong-name", "ca", "/CN=elsewhere.example",
                 "subjectAltName=DNS:elsewhere.example,IP:127.0.0.2\\nbasicConstraints=CA:FALSE", kEcKey) &&
        MakeLeaf("rogue", "rogue-ca", "/CN=localhost", server_names, kEcKey) &&
        MakeLeaf("clientcerts/client-a", "client-ca-a", "/CN=client-a", client, kEcKey) &&
        MakeLeaf("clientcerts/client-b", "client-ca-b", "/CN=client-b", client, kEcKey);
}

void TestCertificates::TrustOnlyTestCa() const {
  setenv("SSL_CERT_FILE", Certificate("ca").c_str(), 1);
  setenv("SSL_CERT_DIR", (path() + "empty").c_str(), 1);
}

bool TestCertificates::Run(const std::string& command) const {
  return std::system(("cd '" + path() + "' && (" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

bool TestCertificates::MakeCa(const std::string& name) const {
  return Run("openssl req -x509 " + std::string(kEcKey) + " -nodes -days 2 -subj '/CN=Test " + name + "' -keyout " +
             name + ".key -out " + name + ".crt");
}

bool TestCertificates::MakeLeaf(const std::string& name, const std::string& ca, const std::string& subject,
                                const std::string& extensions, const std::string& key_kind) const {
  // An explicit basicConstraints=CA:FALSE: a certificate signed without one
  // could itself act as a CA.
  return Run("printf '" + extensions + "\\n' > " + name + ".ext && openssl req -new " + key_kind +
             " -nodes -subj '" + subject + "' -keyout " + name + ".key -out " + name + ".csr && openssl x509 -req -in " +
             name + ".csr -CA " + ca + ".crt -CAkey " + ca + ".key -CAcreateserial -days 2 -extfile " + name +
             ".ext -out " + name + ".crt && rm " + name + ".csr " + name + ".ext");
}
