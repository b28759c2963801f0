// TSecureSocket against TLS servers made for each case: what the handshake
// accepts and refuses, and how records, sends and the end of a session look
// through Receive, Send and IsClosed.
#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "diag/TraceLog.h"
#include "net/TSecureSocket.h"
#include "net/TlsContext.h"
#include "sim/TlsServerContext.h"
#include "support/LoopbackListener.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "support/TlsTestServer.h"
#include "support/WaitUntil.h"

namespace {

class TSecureSocketTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certificates_ = new TestCertificates();
    certificates_->TrustOnlyTestCa();
  }
  static void TearDownTestSuite() {
    delete certificates_;
    certificates_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(certificates_->ok()) << "openssl could not make the test certificates";
    ASSERT_TRUE(net::LoadSecurityInterface(certificates_->ClientFolder()));
    ASSERT_TRUE(diag::Trace().Open(trace_dir_.path() + "debug.txt"));
  }
  void TearDown() override {
    diag::Trace().Close();
    net::UnloadSecurityInterface();
  }

  // A server with certificate name, offering versions ("1.1", or
  // "1.1/AES128-SHA" for those cipher suites alone), asking for client
  // certificates from client_ca (none when empty).
  static std::unique_ptr<TlsTestServer> Serve(const std::string& name, const std::string& versions,
                                              const std::string& client_ca, TlsTestServer::Script script,
                                              void (*on_record)(int, int, int, const void*, std::size_t, SSL*,
                                                                void*) = nullptr) {
    sim::TlsServerOptions options;
    options.certificate = certificates_->Certificate(name);
    options.key = certificates_->Key(name);
    if (!client_ca.empty()) options.client_ca = certificates_->Certificate(client_ca);
    const auto slash = versions.find('/');
    EXPECT_TRUE(sim::ParseTlsVersions(versions.substr(0, slash), options.min_version, options.max_version));
    std::string error;
    SSL_CTX* context = sim::NewServerContext(options, error);
    EXPECT_NE(context, nullptr) << error;
    if (slash != std::string::npos) {
      EXPECT_EQ(SSL_CTX_set_cipher_list(context, versions.substr(slash + 1).c_str()), 1);
    }
    if (on_record != nullptr) SSL_CTX_set_msg_callback(context, on_record);
    return std::make_unique<TlsTestServer>(context, std::move(script));
  }
  static int Connect(TSecureSocket& socket, const std::string& host, unsigned short port,
                     int mask = TSecureSocket::kDefaultProtocolMask) {
    const int created = socket.Create(0, 1, nullptr, mask, nullptr);
    return created != 0 ? created : socket.Connect(host, port);
  }
  std::string Trace() {
    diag::Trace().Close();
    return trace_dir_.Read("debug.txt");
  }

  static TestCertificates* certificates_;
  TempDir trace_dir_;
};

TestCertificates* TSecureSocketTest::certificates_ = nullptr;

// The server echoes four bytes, then waits for the client to go.
void Echo(SSL* ssl, int) {
  char word[4];
  if (TlsTestServer::ReadAll(ssl, word, 4)) SSL_write(ssl, word, 4);
  TlsTestServer::WaitForClientClose(ssl);
}

struct HandshakeCase {
  const char* name;
  const char* certificate;
  const char* versions;
  const char* client_ca;
  const char* host;
  int status;
  const char* trace;    // a line the failure writes
  int version;          // what a good handshake settled on
  const char* sni;
  const char* client;   // the subject the server was shown
  int mask = TSecureSocket::kDefaultProtocolMask;  // the versions the client may offer
};

constexpr int kWrong = TSecureSocket::kStatusWrongPrincipal;
constexpr int kUntrusted = TSecureSocket::kStatusUntrustedRoot;
constexpr int kProtocol = TSecureSocket::kStatusUnsupportedProtocol;

const HandshakeCase kHandshakeCases[] = {
    {"Tls12ByName", "server", "1.2", "", "localhost", 0, "", TLS1_2_VERSION, "localhost", ""},
    {"AddressIsCheckedAndNotSent", "server", "1.2", "", "127.0.0.1", 0, "", TLS1_2_VERSION, "", ""},
    {"Tls10Accepted", "server", "1.0", "", "localhost", 0, "", TLS1_VERSION, "localhost", ""},
    {"RangeSettlesOn12", "server", "1.0-1.3", "", "localhost", 0, "", TLS1_2_VERSION, "localhost", ""},
    {"Tls11Refused", "server", "1.1", "", "localhost", kProtocol,
     "PerformClientHandshake failed. error=-2146893054\n", 0, "", ""},
    // RSA key transport: the server signs nothing, so only the version check
    // stands between the client and a TLS 1.1 session.
    {"Tls11WithoutASignatureRefused", "server", "1.1/AES128-SHA", "", "localhost", kProtocol,
     "PerformClientHandshake failed. error=-2146893054\n", 0, "", ""},
    {"Tls13OnlyRefused", "server", "1.3", "", "localhost", kProtocol,
     "PerformClientHandshake failed. error=-2146893054\n", 0, "", ""},
    {"WrongHostName", "wrong-name", "1.2", "", "localhost", kWrong,
     "PerformClientHandshake failed. The target principal name is incorrect(-2146893022).\n", 0, "", ""},
    {"WrongAddress", "wrong-name", "1.2", "", "127.0.0.1", kWrong,
     "PerformClientHandshake failed. The target principal name is incorrect(-2146893022).\n", 0, "", ""},
    {"UntrustedRoot", "rogue", "1.2", "", "localhost", kUntrusted,
     "PerformClientHandshake failed. The certificate chain was issued by an untrusted authority(-2146893019).\n", 0,
     "", ""},
    {"ClientCertificateOfIssuerA", "server", "1.2", "client-ca-a", "localhost", 0, "", TLS1_2_VERSION, "localhost",
     "/CN=client-a"},
    {"ClientCertificateOfIssuerB", "server", "1.2", "client-ca-b", "localhost", 0, "", TLS1_2_VERSION, "localhost",
     "/CN=client-b"},
    {"ClientCertificateOnTls10", "server", "1.0", "client-ca-b", "localhost", 0, "", TLS1_VERSION, "localhost",
     "/CN=client-b"},
    {"NoClientCertificateFitsTheIssuer", "server", "1.2", "client-ca-c", "localhost", 0, "", TLS1_2_VERSION,
     "localhost", ""},
    // A protocol mask with one client version offers that one alone.
    {"MaskOf12AloneRefusesATls10Server", "server", "1.0", "", "localhost", kProtocol,
     "PerformClientHandshake failed. error=-2146893054\n", 0, "", "", TSecureSocket::kTls12Client},
    {"MaskOf10AloneSettlesOn10", "server", "1.0-1.2", "", "localhost", 0, "", TLS1_VERSION, "localhost", "",
     TSecureSocket::kTls10Client},
};

TEST_F(TSecureSocketTest, HandshakesAcceptOnlyTls10And12FromTheTrustedServerNamed) {
  for (const auto& c : kHandshakeCases) {
    SCOPED_TRACE(c.name);
    auto server = Serve(c.certificate, c.versions, c.client_ca, Echo);
    TSecureSocket socket;
    const int status = Connect(socket, c.host, server->port(), c.mask);
    EXPECT_EQ(status, c.status);
    const auto seen = server->WaitForHandshake();
    if (c.status != 0) {
      EXPECT_FALSE(seen.handshake);
      socket.Close();
      server.reset();
      const std::string trace = Trace();
      EXPECT_NE(trace.find(std::string("TSecureSocket::Connect: ") + c.trace), std::string::npos) << trace;
      trace_dir_.Write("debug.txt", "");  // the next case's lines alone
      ASSERT_TRUE(diag::Trace().Open(trace_dir_.path() + "debug.txt"));
      continue;
    }
    ASSERT_TRUE(seen.handshake);
    EXPECT_EQ(seen.version, c.version);
    EXPECT_EQ(socket.NegotiatedVersion(), c.version);
    EXPECT_EQ(seen.sni, c.sni);
    EXPECT_EQ(seen.client, c.client);
    std::size_t sent = 0;
    ASSERT_EQ(socket.Send("ping", 4, sent, 5, 0), 0);
    char reply[4] = {};
    std::size_t got = 0;
    bool timed_out = false;
    EXPECT_EQ(socket.Receive(reply, 4, got, timed_out, 5, 0, true), 0);
    EXPECT_EQ(std::string(reply, got), "ping");
  }
}

TEST_F(TSecureSocketTest, ARecordIsHandedOutAcrossReceivesWithoutAnotherNetworkRead) {
  auto server = Serve("server", "1.2", "", [](SSL* ssl, int) {
    std::string record(100, '\0');
    for (int i = 0; i < 100; ++i) record[i] = static_cast<char>('A' + i % 26);
    SSL_write(ssl, record.data(), 100);  // one record
    TlsTestServer::WaitForClientClose(ssl);
  });
  TSecureSocket socket;
  ASSERT_EQ(Connect(socket, "localhost", server->port()), 0);
  char buffer[100] = {};
  std::size_t got = 0;
  bool timed_out = false;
  ASSERT_EQ(socket.Receive(buffer, 29, got, timed_out, 5, 0, true), 0);
  ASSERT_EQ(got, 29u);
  // Timeout 0: a read from the network would find nothing and time out.
  ASSERT_EQ(socket.Receive(buffer + 29, 71, got, timed_out, 0, 0, true), 0);
  EXPECT_FALSE(timed_out);
  ASSERT_EQ(got, 71u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(buffer[i], 'A' + i % 26) << "at " << i;
  // Nothing is left over: the next read waits and finds nothing.
  EXPECT_EQ(socket.Receive(buffer, 1, got, timed_out, 0, 0, false), 0);
  EXPECT_TRUE(timed_out);
}

std::atomic<int> g_application_records{0};

void CountApplicationRecords(int write_p, int, int content_type, const void* bytes, std::size_t length, SSL*, void*) {
  const auto* header = static_cast<const unsigned char*>(bytes);
  if (write_p == 0 && content_type == SSL3_RT_HEADER && length > 0 && header[0] == SSL3_RT_APPLICATION_DATA) {
    ++g_application_records;
  }
}

TEST_F(TSecureSocketTest, ASendOfThreeRecordSizesGoesAsThreeRecordsAndArrivesWhole) {
  constexpr int kLength = 3 * SSL3_RT_MAX_PLAIN_LENGTH;
  std::string message(kLength, '\0');
  for (int i = 0; i < kLength; ++i) message[i] = static_cast<char>(i * 7 % 251);
  g_application_records = 0;
  std::atomic<bool> intact{false};
  auto server = Serve(
      "server", "1.2", "",
      [&](SSL* ssl, int) {
        std::string arrived(kLength, '\0');
        intact = TlsTestServer::ReadAll(ssl, arrived.data(), kLength) && arrived == message;
        SSL_write(ssl, "ok", 2);
        TlsTestServer::WaitForClientClose(ssl);
      },
      CountApplicationRecords);
  TSecureSocket socket;
  ASSERT_EQ(Connect(socket, "localhost", server->port()), 0);
  std::size_t sent = 0;
  ASSERT_EQ(socket.Send(message.data(), message.size(), sent, 5, 0), 0);
  EXPECT_EQ(sent, message.size());
  char reply[2] = {};
  std::size_t got = 0;
  bool timed_out = false;
  ASSERT_EQ(socket.Receive(reply, 2, got, timed_out, 5, 0, true), 0);
  EXPECT_TRUE(intact);
  EXPECT_EQ(g_application_records.load(), 3);
}

struct EndCase {
  const char* name;
  bool close_notify;  // else the connection just ends
  int status;
};

TEST_F(TSecureSocketTest, TheEndOfASessionIsToldApartFromACutOffStream) {
  const EndCase cases[] = {
      {"CloseNotify", true, TSecureSocket::kStatusContextExpired},
      {"UnexpectedEof", false, TSecureSocket::kStatusInternalError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = Serve("server", "1.2", "", [&c](SSL* ssl, int fd) {
      char go = 0;
      if (!TlsTestServer::ReadAll(ssl, &go, 1)) return;
      SSL_write(ssl, "0123456789", 10);
      if (c.close_notify) {
        SSL_shutdown(ssl);
        TlsTestServer::WaitForClientClose(ssl);
      } else {
        shutdown(fd, SHUT_RDWR);
      }
    });
    TSecureSocket socket;
    ASSERT_EQ(Connect(socket, "localhost", server->port()), 0);
    EXPECT_FALSE(socket.IsClosed()) << "an idle session is open";
    std::size_t sent = 0;
    ASSERT_EQ(socket.Send("g", 1, sent, 5, 0), 0);
    char buffer[30] = {};
    std::size_t got = 0;
    bool timed_out = false;
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer, got, timed_out, 5, 0, true), c.status);
    EXPECT_EQ(std::string(buffer, got), "0123456789");
    EXPECT_TRUE(socket.IsClosed());
  }
}

TEST_F(TSecureSocketTest, AnIdleSessionThePeerEndedPolitelyIsClosed) {
  auto server = Serve("server", "1.2", "", [](SSL* ssl, int) {
    char go = 0;
    if (!TlsTestServer::ReadAll(ssl, &go, 1)) return;
    SSL_shutdown(ssl);  // close_notify only: the TCP connection stays up
    TlsTestServer::WaitForClientClose(ssl);
  });
  TSecureSocket socket;
  ASSERT_EQ(Connect(socket, "localhost", server->port()), 0);
  EXPECT_FALSE(socket.IsClosed());
  std::size_t sent = 0;
  ASSERT_EQ(socket.Send("g", 1, sent, 5, 0), 0);
  EXPECT_TRUE(WaitUntil([&] { return socket.IsClosed(); }));
}

// A back end that answers the handshake a byte at a time, each byte well
// within the limit of one wait, is given up once the whole connect has taken
// its limit, instead of holding the borrower for the hours the bytes would.
TEST_F(TSecureSocketTest, AHandshakeAnsweredAByteAtATimeEndsWithinTheConnectLimit) {
  int port = 0;
  const int listener = ListenOnLoopback(port);
  ASSERT_GE(listener, 0);
  std::atomic<bool> done{false};
  std::thread drip([&] {
    const int peer = accept(listener, nullptr, nullptr);
    if (peer < 0) return;
    // A handshake record of 16 KB, then its body a byte every 200 ms: about
    // an hour; the server gives up after 30 s, so a client without an
    // overall limit fails then, not at its limit.
    const std::string header("\x16\x03\x03\x40\x00", 5);
    (void)!send(peer, header.data(), header.size(), MSG_NOSIGNAL);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done && std::chrono::steady_clock::now() < give_up) {
      if (send(peer, "\x01", 1, MSG_NOSIGNAL) != 1) break;
      (void)!WaitUntil([&] { return done.load(); }, std::chrono::milliseconds(200));
    }
    close(peer);
  });
  TSecureSocket client;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(Connect(client, "127.0.0.1", static_cast<unsigned short>(port)), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  done = true;
  drip.join();
  close(listener);
  EXPECT_GE(took, std::chrono::seconds(TRSocket::kConnectTimeoutSeconds - 1));
  EXPECT_LT(took, std::chrono::seconds(TRSocket::kConnectTimeoutSeconds + 5));
}

}  // namespace
