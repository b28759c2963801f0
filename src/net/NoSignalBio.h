// A BIO over a socket descriptor that never raises SIGPIPE: OpenSSL's own
// socket BIO writes with write(), which kills a host that has not ignored the
// signal when the back end resets a connection mid-send.
#pragma once

#include <openssl/bio.h>

namespace net {

// A BIO on fd (not owned: the socket closes it), or null.
BIO* NewNoSignalSocketBio(int fd);

}  // namespace net
