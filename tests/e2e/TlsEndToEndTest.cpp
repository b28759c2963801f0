// The module's TLS pool against vekacs-sim's TLS port: a chat started through
// quorvix-host, and the pool after the back end ended its sessions or
// restarted. Every service uses TLS, so no plain connection exists to fall
// back on.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "extension/RAVO.h"
#include "support/HostProcess.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "support/WaitUntil.h"

namespace {

class TlsEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certificates_ = new TestCertificates();
    certificates_->TrustOnlyTestCa();  // the host started below inherits it
  }
  static void TearDownTestSuite() {
    delete certificates_;
    certificates_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(certificates_->ok()); }

  static std::vector<std::string> TlsOptions(unsigned short plain_port = 0, unsigned short tls_port = 0) {
    return {"--listen",     "127.0.0.1:" + std::to_string(plain_port),
            "--tls-listen", "127.0.0.1:" + std::to_string(tls_port),
            "--cert",       certificates_->Certificate("server"),
            "--key",        certificates_->Key("server")};
  }
  // [VEKASETTINGS] for a module that reaches sim by name, every service over TLS.
  static std::string TlsSettings(const SimProcess& sim) {
    // Nothing listens on port 1: a request that went plain would fail.
    return "Address=localhost\nPort=1\nSSLPort=" + std::to_string(sim.tls_port()) +
           "\nChatUsesSSL=true\nCallbackUsesSSL=true\nVoiceXMLUsesSSL=true\nMinSSLSockets=2\nMaxSSLSockets=4\n";
  }

  static TestCertificates* certificates_;
};

TestCertificates* TlsEndToEndTest::certificates_ = nullptr;

// Connections to port on this machine that the other end has closed
// (CLOSE_WAIT in /proc/net/tcp).
int ConnectionsEndedByPeer(unsigned short port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    const auto colon = remote.find(':');
    if (colon != std::string::npos && std::stoul(remote.substr(colon + 1), nullptr, 16) == port && state == "08") {
      ++count;
    }
  }
  return count;
}

TEST_F(TlsEndToEndTest, AChatStartsOverTlsThroughTheHost) {
  SimProcess sim(TlsOptions());
  ASSERT_TRUE(sim.ready() && sim.tls_port() != 0) << sim.process().Output();
  TempDir site;
  sim.InstallSite(QUORVIX_SITE_DIR, site.path());
  std::ifstream in(site.path() + "RAVO.ini");
  std::ostringstream ini;
  for (std::string line; std::getline(in, line);) {
    ini << line << "\n";
    if (line == "[VEKASETTINGS]") ini << TlsSettings(sim);  // the first value of a key counts
  }
  in.close();
  site.Write("RAVO.ini", ini.str());
  auto host = HostProcess::ForSite(site.path(), {"--no-access-log"});
  ASSERT_TRUE(host->ready()) << host->process().Output();

  const auto page = host->Post(
      "varUserRequest=REQ_JS_START&varCustomerName=Ada&varCaption=Question&varUserLanguage=en&"
      "varBusinessUnitName=Sales");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("data-session=\""), std::string::npos) << page.body;
  bool started = false;
  for (const auto& line : sim.ControlLines("log")) started = started || line.find(" type=20 ") != std::string::npos;
  EXPECT_TRUE(started);

  // The back end ends every idle session: the next chat skips them for new
  // ones, handshaken without waiting on the loop (or on the request's thread).
  const std::string closed = sim.Control("close-idle");
  ASSERT_EQ(closed.rfind("closed=", 0), 0u) << closed;
  const int idle = std::stoi(closed.substr(7));
  EXPECT_TRUE(WaitUntil([&] { return ConnectionsEndedByPeer(sim.tls_port()) == idle; }));
  const auto again = host->Post(
      "varUserRequest=REQ_JS_START&varCustomerName=Bea&varCaption=Question&varUserLanguage=en&"
      "varBusinessUnitName=Sales");
  EXPECT_EQ(again.status, 200);
  EXPECT_NE(again.body.find("data-session=\""), std::string::npos) << again.body;
  EXPECT_EQ(host->Stop(), 0) << host->process().Output();
  EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(TlsEndToEndTest, ThePoolReplacesSessionsTheBackEndEndedOrLostInARestart) {
  auto sim = std::make_unique<SimProcess>(TlsOptions());
  ASSERT_TRUE(sim->ready() && sim->tls_port() != 0) << sim->process().Output();
  const unsigned short plain_port = sim->port();
  const unsigned short tls_port = sim->tls_port();
  TempDir dir;
  dir.Write("RAVO.ini", "[VEKASETTINGS]\n" + TlsSettings(*sim) + "Password=demo-secret\nDebugOutput=1\n");
  auto extension = std::make_unique<CRAVOExtension>(dir.path() + "quorvix.so");
  QX_VERSION_INFO version{};
  ASSERT_TRUE(extension->GetExtensionVersion(&version));
  const std::string beat = "web01|chat|" + std::to_string(tls_port);
  // The test's own heartbeats: the diagnostics thread sends one of its own
  // five seconds after the start (with no request seen, under unknown
  // names), which a slow run sees in the middle.
  const auto beats = [&sim] {
    std::vector<std::string> own;
    for (auto& line : sim->ControlLines("heartbeats")) {
      if (!line.starts_with("Unknown|Unknown|")) own.push_back(std::move(line));
    }
    return own;
  };

  EXPECT_EQ(extension->SendHeartbeat("web01", "chat"), 0);
  EXPECT_EQ(beats(), std::vector<std::string>{beat});

  // Every idle session gets a close_notify; the next exchange takes new ones.
  // The TLS side ends a moment after the back-end side: once the module's
  // end of both connections has seen it. (The diagnostics thread's heartbeat
  // may hold one of the two just then.)
  const std::string closed = sim->Control("close-idle");
  ASSERT_TRUE(closed == "closed=2\n" || closed == "closed=1\n") << closed;
  const int idle = closed == "closed=2\n" ? 2 : 1;
  EXPECT_TRUE(WaitUntil([&] { return ConnectionsEndedByPeer(tls_port) == idle; }));
  EXPECT_EQ(extension->SendHeartbeat("web01", "chat"), 0);
  EXPECT_EQ(beats(), (std::vector<std::string>{beat, beat}));

  // A restart on the same ports drops every connection without a word.
  ASSERT_EQ(sim->Stop(), 0);
  sim.reset();
  sim = std::make_unique<SimProcess>(TlsOptions(plain_port, tls_port));
  ASSERT_TRUE(sim->ready() && sim->tls_port() == tls_port) << sim->process().Output();
  EXPECT_EQ(extension->SendHeartbeat("web01", "chat"), 0);
  EXPECT_EQ(beats(), std::vector<std::string>{beat});

  extension->TerminateExtension(QX_TERM_MUST_UNLOAD);
  extension.reset();
  const std::string trace = dir.Read("debug.txt");
  EXPECT_NE(trace.find("is CLOSED...trying to get another one."), std::string::npos) << trace;
  EXPECT_EQ(sim->Stop(), 0);
}

}  // namespace
