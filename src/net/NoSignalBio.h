// A BIO over a socket descriptor that never raises SIGPIPE: OpenSSL's own
// socket BIO writes with write(), which kills a host that has not ignored the
// signal when the back end resets a connection mid-send.
#pragma once

#include <openssl/bio.h>

namespace net {

// The method of such BIOs, or null. Whoever makes it frees it with
// BIO_meth_free once every BIO made from it is gone.
BIO_METHOD* NewNoSignalSocketMethod();
// A BIO of method on fd (not owned: the socket closes it), or null.
BIO* NewNoSignalSocketBio(const BIO_METHOD* method, int fd);

}  // namespace net
