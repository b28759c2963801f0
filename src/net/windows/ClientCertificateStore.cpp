#include "net/windows/ClientCertificateStore.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "diag/TraceLog.h"
#include "net/SecurityInterface.h"
#include "net/Winsock.h"

namespace net {
namespace {

// A file's certificates: the one with a private key, the one to present, and
// the intermediates that came with it.
struct ClientFile {
  HCERTSTORE store;
  PCCERT_CONTEXT certificate;
};

std::mutex g_mutex;
int g_loads = 0;                         // guarded by g_mutex
std::vector<ClientFile> g_files;         // in name order; guarded by g_mutex

std::vector<std::string> PfxFiles(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found{};
  const HANDLE search = FindFirstFileA((folder + "*.pfx").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.emplace_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

HCERTSTORE LoadPfx(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  std::vector<BYTE> bytes(std::min<DWORD>(GetFileSize(file, nullptr), 1u << 20));
  DWORD read = 0;
  const bool ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size();
  CloseHandle(file);
  if (!ok) return nullptr;
  CRYPT_DATA_BLOB blob{read, bytes.data()};
  return PFXImportCertStore(&blob, L"", CRYPT_USER_KEYSET);
}

// The certificate of a store that has a private key: the one to present.
PCCERT_CONTEXT CertificateWithKey(HCERTSTORE store) {
  PCCERT_CONTEXT certificate = nullptr;
  while ((certificate = CertEnumCertificatesInStore(store, certificate)) != nullptr) {
    DWORD size = 0;
    if (CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
      return CertDuplicateCertificateContext(certificate);
    }
  }
  return nullptr;
}

bool IssuedByOneOf(PCCERT_CONTEXT certificate, HCERTSTORE own, const CERT_NAME_BLOB* issuers, DWORD count) {
  if (count == 0) return true;
  const auto listed = [&](const CERT_NAME_BLOB& name) {
    for (DWORD i = 0; i < count; ++i) {
      if (CertCompareCertificateName(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&issuers[i]),
                                     const_cast<CERT_NAME_BLOB*>(&name))) {
        return true;
      }
    }
    return false;
  };
  if (listed(certificate->pCertInfo->Issuer)) return true;
  // The intermediates the file carries.
  PCCERT_CONTEXT other = nullptr;
  while ((other = CertEnumCertificatesInStore(own, other)) != nullptr) {
    if (listed(other->pCertInfo->Issuer)) {
      CertFreeCertificateContext(other);
      return true;
    }
  }
  return false;
}

}  // namespace

bool LoadSecurityInterface(const std::string& client_certificate_folder) {
  std::lock_guard lock(g_mutex);
  if (WinsockStartup() != 0) return false;
  if (g_loads++ == 0) {
    for (const auto& name : PfxFiles(client_certificate_folder)) {
      const HCERTSTORE store = LoadPfx(client_certificate_folder + name);
      const PCCERT_CONTEXT certificate = store != nullptr ? CertificateWithKey(store) : nullptr;
      if (certificate == nullptr) {
        if (store != nullptr) CertCloseStore(store, 0);
        diag::TraceText("ClientCertificates: %s is left out: no certificate with its key in %s\n", name.c_str(),
                        client_certificate_folder.c_str());
        continue;
      }
      g_files.push_back({store, certificate});
    }
  }
  return true;
}

void UnloadSecurityInterface() {
  std::lock_guard lock(g_mutex);
  if (g_loads == 0) return;
  if (--g_loads == 0) {
    for (const ClientFile& file : g_files) {
      CertFreeCertificateContext(file.certificate);
      CertCloseStore(file.store, 0);
    }
    g_files.clear();
  }
  WinsockCleanup();
}

bool SecurityInterfaceLoaded() {
  std::lock_guard lock(g_mutex);
  return g_loads > 0;
}

PCCERT_CONTEXT FindClientCertificate(const CERT_NAME_BLOB* issuers, DWORD count) {
  std::lock_guard lock(g_mutex);
  for (const ClientFile& file : g_files) {
    if (IssuedByOneOf(file.certificate, file.store, issuers, count)) {
      return CertDuplicateCertificateContext(file.certificate);
    }
  }
  return nullptr;
}

SECURITY_STATUS AcquireClientCredentials(DWORD protocols, PCCERT_CONTEXT certificate, CredHandle& credentials) {
  SCHANNEL_CRED description{};
  description.dwVersion = SCHANNEL_CRED_VERSION;
  description.grbitEnabledProtocols = protocols;
  // No certificate goes out unasked.
  description.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  if (certificate != nullptr) {
    description.cCreds = 1;
    description.paCred = &certificate;
  }
  TimeStamp expiry{};
  return AcquireCredentialsHandleA(nullptr, const_cast<SEC_CHAR*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                   &description, nullptr, nullptr, &credentials, &expiry);
}

bool CertificateNamesAddress(PCCERT_CONTEXT certificate, const std::string& address) {
  in_addr wanted{};
  if (inet_pton(AF_INET, address.c_str(), &wanted) != 1) return false;
  const CERT_INFO* info = certificate->pCertInfo;
  const CERT_EXTENSION* extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == sizeof wanted &&
            std::memcmp(entry.IPAddress.pbData, &wanted, sizeof wanted) == 0;
  }
  LocalFree(names);
  return found;
}

}  // namespace net
