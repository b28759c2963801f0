// The certificate the module presents when a back end names the issuers it
// accepts, as the Windows side chooses it from the clientcerts folder. The
// files are in QX_CERTIFICATES, made by scripts/build-windows: the CAs
// client-ca-a.crt, client-ca-b.crt and ca.crt (PEM), and clientcerts\ with
// client-a.pfx and client-b.pfx, issued by the first two, and a-no-key.pfx,
// client a's certificate without its key (first in name order, and left out).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "net/SecurityInterface.h"
#include "net/windows/ClientCertificateStore.h"

namespace {

struct ChoiceCase {
  const char* name;
  std::vector<std::string> issuers;  // the CAs the back end names
  const char* chosen;                // the subject's common name; "" for none
};

const ChoiceCase kChoiceCases[] = {
    {"TheNamedIssuersCertificate", {"client-ca-b"}, "client-b"},
    {"TheOtherIssuersCertificate", {"client-ca-a"}, "client-a"},
    {"BothNamedTheFirstInNameOrder", {"client-ca-b", "client-ca-a"}, "client-a"},
    {"NoIssuerNamedTheFirstInNameOrder", {}, "client-a"},
    {"NoneOfTheFolder", {"ca"}, ""},
};

std::string Folder() {
  const char* folder = std::getenv("QX_CERTIFICATES");
  return folder == nullptr ? std::string() : std::string(folder) + "\\";
}

// A CA's certificate from its PEM file, or null.
PCCERT_CONTEXT Authority(const std::string& name) {
  std::ifstream in(Folder() + name + ".crt", std::ios::binary);
  const std::string pem{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
    return nullptr;
  }
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
    return nullptr;
  }
  return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
}

class ClientCertificateStoreTest : public ::testing::TestWithParam<ChoiceCase> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Folder().empty()) << "scripts/build-windows names the folder";
    ASSERT_TRUE(net::LoadSecurityInterface(Folder() + "clientcerts\\"));
  }
  void TearDown() override { net::UnloadSecurityInterface(); }
};

TEST_P(ClientCertificateStoreTest, ChoosesTheFirstFileAnAcceptedIssuerIssued) {
  const ChoiceCase& c = GetParam();
  std::vector<PCCERT_CONTEXT> authorities;
  std::vector<CERT_NAME_BLOB> issuers;
  for (const auto& name : c.issuers) {
    authorities.push_back(Authority(name));
    ASSERT_NE(authorities.back(), nullptr) << name;
    issuers.push_back(authorities.back()->pCertInfo->Subject);
  }
  const PCCERT_CONTEXT chosen =
      net::FindClientCertificate(issuers.empty() ? nullptr : issuers.data(), static_cast<DWORD>(issuers.size()));
  for (const PCCERT_CONTEXT authority : authorities) CertFreeCertificateContext(authority);
  if (*c.chosen == '\0') {
    EXPECT_EQ(chosen, nullptr);
    if (chosen != nullptr) CertFreeCertificateContext(chosen);
    return;
  }
  ASSERT_NE(chosen, nullptr);
  char subject[128] = "";
  CertGetNameStringA(chosen, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, sizeof subject);
  EXPECT_STREQ(subject, c.chosen);
  DWORD size = 0;
  EXPECT_TRUE(CertGetCertificateContextProperty(chosen, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
      << "a certificate with its key";
  CertFreeCertificateContext(chosen);
}

INSTANTIATE_TEST_SUITE_P(Issuers, ClientCertificateStoreTest, ::testing::ValuesIn(kChoiceCases),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
