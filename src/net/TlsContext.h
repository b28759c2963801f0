// The module-wide TLS state: one client context that every secure socket
// makes its connections from. It offers exactly TLS 1.0 and TLS 1.2,
// validates the server against the system's trusted roots (the default verify
// paths, so SSL_CERT_FILE and SSL_CERT_DIR choose a private CA), and presents
// a client certificate from a folder when the server asks for one.
//
// Threads: LoadSecurityInterface and UnloadSecurityInterface run while no
// secure socket is being made (at start and unload); AcquireClientContext runs
// on any thread. Loads are counted: the context lives from the first load to
// the last unload, and a socket keeps its own reference beyond that.
#pragma once

#include <openssl/ssl.h>

#include "net/SecurityInterface.h"

namespace net {

// A new reference to the client context (give it back with SSL_CTX_free), or
// null when no load is in force.
SSL_CTX* AcquireClientContext();
// The BIO method for the connections of a client context; it lives as long
// as the context, and a connection's BIOs go before its reference to it.
const BIO_METHOD* SocketBioMethod(const SSL_CTX* context);

}  // namespace net
