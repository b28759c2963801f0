// Certificates made for one test run with the openssl command, in a folder
// of their own: a test CA with a server certificate for localhost and
// 127.0.0.1, one for another name, one from a rogue CA, and two client CAs
// with a client certificate each (in clientcerts/, the module's layout), plus
// a third client CA with none.
#pragma once

#include <string>

#include "support/TempDir.h"

class TestCertificates {
 public:
  // Makes everything; ok() tells whether openssl managed.
  TestCertificates();
  bool ok() const { return ok_; }

  // Points SSL_CERT_FILE at the test CA and SSL_CERT_DIR at an empty folder,
  // so that the test CA is the only trusted root. Before any thread starts.
  void TrustOnlyTestCa() const;

  // name.crt and name.key: "server", "wrong-name", "rogue"; client CAs
  // "client-ca-a", "client-ca-b", "client-ca-c"; "ca" is the trusted CA.
  std::string Certificate(const std::string& name) const { return dir_.path() + name + ".crt"; }
  std::string Key(const std::string& name) const { return dir_.path() + name + ".key"; }
  // Holds client-a.crt/.key (from client CA a) and client-b.crt/.key.
  std::string ClientFolder() const { return dir_.path() + "clientcerts/"; }
  const std::string& path() const { return dir_.path(); }

 private:
  bool Run(const std::string& command) const;
  bool MakeCa(const std::string& name) const;
  bool MakeLeaf(const std::string& name, const std::string& ca, const std::string& subject,
                const std::string& extensions, const std::string& key_kind) const;

  TempDir dir_;
  bool ok_ = false;
};
