// vekacs-sim: the reference back end for the demo and the tests.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "sim/SimServer.h"
#include "sim/TlsListener.h"
#include "sim/TlsServerContext.h"

namespace {

constexpr const char* kUsage = R"(Usage: vekacs-sim [options]

A back end that speaks the contact center's message protocol, keeps an
in-memory contact center, and lets tests inject faults.

  --listen ADDR:PORT    back-end port (default 127.0.0.1:4100; port 0 picks a free one)
  --control ADDR:PORT   line-based control port for tests (default: none); commands:
                          fault delay MS [N] | close [N] | badlength [N] | length L [N]
                                | extra B [N] | refuse-diag [N]   (N requests, 0: until clear)
                                | down [N]  (close without handling: nothing is kept)
                                | pieces B [N]  (the answer in pieces of B bytes, 5 ms apart)
                                | stall MS [N]  (read nothing past the request's header for MS)
                                | stall-close MS [N]  (the same, then close with the rest unread)
                                ... [type T]  (only requests of message type T count)
                          clear | close-idle | log | heartbeats | reports | stats
                          callbacks | callback-service UNIT on|off
                                | callback-hours UNIT HH:MM-HH:MM | callback-block PREFIX
                          voice agent-free-every MS  (an agent takes the next queued call
                                every MS; 0: never; default 20000)
                          voice free N  (N agents take a queued call now)
                          voice calls   (one line per call and callback)
  --password TEXT       the password requests must carry (default demo-secret)
  --tls-listen ADDR:PORT  also take TLS connections there (needs --cert and --key)
  --cert FILE           PEM certificate of the TLS port (then any intermediates)
  --key FILE            PEM private key of that certificate
  --client-ca FILE      ask TLS clients for a certificate issued by these CAs (PEM);
                          the connection line shows which one was sent
  --tls-versions V[-V]  TLS versions offered, from 1.0 1.1 1.2 1.3 (default 1.2-1.3)
  --quiet               do not print a line per request
  --help                this text
  --version             the release
)";

bool SplitAddress(const std::string& text, std::string& address, int& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  char* end = nullptr;
  const long value = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || value < 0 || value > 65535 || end == text.c_str() + colon + 1) return false;
  address = text.substr(0, colon);
  port = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  sim::SimOptions options;
  options.password = "demo-secret";
  sim::TlsServerOptions tls;
  std::string tls_address;
  int tls_port = -1;  // -1: no TLS port
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    const bool has_value = i + 1 < argc;
    int port = 0;
    if (name == "--help" || name == "-h") {
      std::printf("%s", kUsage);
      return 0;
    } else if (name == "--version") {
      std::printf("vekacs-sim %s\n", QUORVIX_VERSION);
      return 0;
    } else if (name == "--quiet") {
      options.log_requests = false;
    } else if (name == "--listen" && has_value && SplitAddress(argv[++i], options.address, port)) {
      options.port = static_cast<unsigned short>(port);
    } else if (name == "--control" && has_value && SplitAddress(argv[++i], options.control_address, port)) {
      options.control_port = port;
    } else if (name == "--password" && has_value) {
      options.password = argv[++i];
    } else if (name == "--tls-listen" && has_value && SplitAddress(argv[++i], tls_address, tls_port)) {
    } else if (name == "--cert" && has_value) {
      tls.certificate = argv[++i];
    } else if (name == "--key" && has_value) {
      tls.key = argv[++i];
    } else if (name == "--client-ca" && has_value) {
      tls.client_ca = argv[++i];
    } else if (name == "--tls-versions" && has_value &&
               sim::ParseTlsVersions(argv[++i], tls.min_version, tls.max_version)) {
    } else {
      std::fprintf(stderr, "vekacs-sim: bad option or value: %s (see --help)\n", name.c_str());
      return 2;
    }
  }

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sim::SimServer server(options);
  std::string error;
  if (!server.Start(error)) {
    std::fprintf(stderr, "vekacs-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("vekacs-sim: listening on %s:%u\n", options.address.c_str(), server.port());
  if (options.control_port >= 0) {
    std::printf("vekacs-sim: control on %s:%u\n", options.control_address.c_str(), server.control_port());
  }
  std::unique_ptr<sim::TlsListener> tls_listener;
  if (tls_port >= 0) {
    SSL_CTX* context = sim::NewServerContext(tls, error);
    if (context == nullptr) {
      std::fprintf(stderr, "vekacs-sim: %s\n", error.c_str());
      return 1;
    }
    // The TLS side reaches the back-end port over loopback when it listens
    // on every interface.
    const std::string backend = options.address == "0.0.0.0" ? "127.0.0.1" : options.address;
    tls_listener = std::make_unique<sim::TlsListener>(context, backend, server.port(), options.log_requests);
    if (!tls_listener->Start(tls_address, static_cast<unsigned short>(tls_port), error)) {
      std::fprintf(stderr, "vekacs-sim: %s\n", error.c_str());
      return 1;
    }
    std::printf("vekacs-sim: TLS on %s:%u\n", tls_address.c_str(), tls_listener->port());
  }
  std::fflush(stdout);
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  if (tls_listener) tls_listener->Stop();
  server.Stop();
  std::printf("vekacs-sim: stopped\n");
  std::fflush(stdout);
  return 0;
}
