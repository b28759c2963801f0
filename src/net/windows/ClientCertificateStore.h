// The Windows side of the TLS layer's module-wide state: whether it is
// loaded, the certificates this side can present when a server asks for one
// (the PKCS #12 files <name>.pfx, without a password, in the client
// certificate folder), and the address check of a server's certificate.
//
// Threads: loaded and unloaded while no secure socket is being made; read from
// any number of handshakes at once.
#pragma once

#define SECURITY_WIN32
#include <windows.h>
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>

#include <string>

namespace net {

bool SecurityInterfaceLoaded();

// The first certificate of the folder, in name order, issued (directly or
// through its own intermediates) by one of the count issuers; any when the
// server named none. A new reference (CertFreeCertificateContext), or null.
PCCERT_CONTEXT FindClientCertificate(const CERT_NAME_BLOB* issuers, DWORD count);

// Outbound Schannel credentials for the protocols, presenting certificate
// (its private key must be at hand) or none. The chain and name of the server
// are left to the caller, so that the statuses are the module's own.
SECURITY_STATUS AcquireClientCredentials(DWORD protocols, PCCERT_CONTEXT certificate, CredHandle& credentials);

// True when certificate carries the IPv4 address (dotted text) among its
// alternative names.
bool CertificateNamesAddress(PCCERT_CONTEXT certificate, const std::string& address);

}  // namespace net
