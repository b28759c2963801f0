// A TLS server for one connection, on a loopback port of its own: it takes
// the first connection, does the handshake and, when that worked, hands the
// session to the test's script on the server's thread. The test learns what
// the server saw of the handshake.
#pragma once

#include <openssl/ssl.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TlsTestServer {
 public:
  // Runs on the server thread after a good handshake; fd is the connection.
  using Script = std::function<void(SSL* ssl, int fd)>;
  struct Seen {
    bool done = false;       // the handshake has ended, one way or the other
    bool handshake = false;  // it worked
    int version = 0;
    std::string sni;            // empty when none was sent
    std::string client;         // subject of the client's certificate; empty when none
  };

  // context: owned from here on.
  TlsTestServer(SSL_CTX* context, Script script);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  unsigned short port() const { return port_; }
  // What the server saw, once the handshake has ended (or after ten seconds).
  Seen WaitForHandshake() const;

  // Helpers for scripts: the whole length or false; a wait for the client's
  // end of the stream.
  static bool ReadAll(SSL* ssl, char* buffer, int length);
  static void WaitForClientClose(SSL* ssl);

 private:
  void Serve(Script script);

  SSL_CTX* const context_;
  BIO_METHOD* const bio_method_;
  int listener_ = -1;
  unsigned short port_ = 0;
  mutable std::mutex mutex_;
  Seen seen_;  // guarded by mutex_
  std::thread thread_;
};
