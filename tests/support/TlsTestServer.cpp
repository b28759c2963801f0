#include "support/TlsTestServer.h"

#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "net/NoSignalBio.h"
#include "support/LoopbackListener.h"
#include "support/WaitUntil.h"

TlsTestServer::TlsTestServer(SSL_CTX* context, Script script)
    : context_(context), bio_method_(net::NewNoSignalSocketMethod()) {
  int port = 0;
  listener_ = ListenOnLoopback(port);
  port_ = static_cast<decltype(port_)>(port);
  thread_ = std::thread(&TlsTestServer::Serve, this, std::move(script));
}

TlsTestServer::~TlsTestServer() {
  shutdown(listener_, SHUT_RDWR);
  thread_.join();
  close(listener_);
  SSL_CTX_free(context_);
  BIO_meth_free(bio_method_);
}

TlsTestServer::Seen TlsTestServer::WaitForHandshake() const {
  (void)WaitUntil([this] {
    std::lock_guard lock(mutex_);
    return seen_.done;
  });
  std::lock_guard lock(mutex_);
  return seen_;
}

bool TlsTestServer::ReadAll(SSL* ssl, char* buffer, int length) {
  for (int done = 0; done < length;) {
    const int count = SSL_read(ssl, buffer + done, length - done);
    if (count <= 0) return false;
    done += count;
  }
  return true;
}

void TlsTestServer::WaitForClientClose(SSL* ssl) {
  char scratch[256];
  while (SSL_read(ssl, scratch, sizeof scratch) > 0) {
  }
}

void TlsTestServer::Serve(Script script) {
  pollfd wait{listener_, POLLIN, 0};
  const int fd = poll(&wait, 1, 10000) == 1 ? accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  Seen seen;
  SSL* ssl = nullptr;
  if (fd >= 0) {
    // A client that stops talking must not hold the test for long.
    const timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ssl = SSL_new(context_);
    // A client that gives up mid-handshake must not end the test with SIGPIPE.
    BIO* bio = net::NewNoSignalSocketBio(bio_method_, fd);
    SSL_set_bio(ssl, bio, bio);
    seen.handshake = SSL_accept(ssl) == 1;
    if (seen.handshake) {
      seen.version = SSL_version(ssl);
      if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) seen.sni = name;
      if (X509* peer = SSL_get1_peer_certificate(ssl)) {
        char subject[256] = "";
        X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject);
        seen.client = subject;
        X509_free(peer);
      }
    }
  }
  seen.done = true;
  {
    std::lock_guard lock(mutex_);
    seen_ = seen;
  }
  if (seen.handshake && script) script(ssl, fd);
  ERR_clear_error();
  SSL_free(ssl);
  if (fd >= 0) close(fd);
}
