// The Windows side of the TLS layer's module-wide state: whether it is
// loaded, the certificates this side can present when a server asks for one
// (the PKCS #12 files <name>.pfx, without a password, in the client
// certificate folder), and the address check of a server's certificate.
//
// Threads: loaded and unloaded while no secure socket is being made; read from
// any number of handshakes at once.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace net {

bool SecurityInterfaceLoaded();

// The first certificate of the folder, in name order, issued (directly or
// through its own intermediates) by one of the count issuers; any when the
// server named none. A new reference (CertFreeCertificateContext), or null.
PCCERT_CONTEXT FindClientCertificate(const CERT_NAME_BLOB* issuers, DWORD count);

// True when certificate carries the IPv4 address (dotted text) among its
// alternative names.
bool CertificateNamesAddress(PCCERT_CONTEXT certificate, const std::string& address);

}  // namespace net
