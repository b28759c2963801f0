// Synchronous exchanges per second through CommunicateWithVEKACS and the
// pool, next to the limit: a plain client sending the same bytes over its own
// kept-open connection, one per thread. Both against the same vekacs-sim.
// With --tls-port, also the same exchanges through the TLS pool, and what a
// new connection costs, plain and with its TLS handshake (the trusted CA comes
// from SSL_CERT_FILE).
//
//   exchange_bench --port=PORT [--tls-port=PORT] [benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "backend/Message.h"
#include "extension/RAVO.h"
#include "backend/SocketFactory.h"
#include "net/TRSocket.h"

namespace {

int g_port = 0;
int g_tls_port = 0;
std::unique_ptr<CRAVOExtension> g_extension;
std::string g_message;

void Setup() {
  const auto folder = std::filesystem::temp_directory_path() / ("exchange-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  std::ofstream ini(folder / "RAVO.ini");
  ini << "[VEKASETTINGS]\nAddress=127.0.0.1\nPort=" << g_port
      << "\nMinSockets=64\nMaxSockets=64\nPassword=demo-secret\n";
  if (g_tls_port != 0) {
    // Chat over TLS, the rest plain: both pools exist.
    ini << "SSLPort=" << g_tls_port << "\nChatUsesSSL=true\nMinSSLSockets=64\nMaxSSLSockets=64\n";
  }
  ini << "[DIAGSETTINGS]\nTHRESHOLD=106\n";
  ini.close();
  g_extension = std::make_unique<CRAVOExtension>((folder / "quorvix.so").string());
  QX_VERSION_INFO version{};
  g_extension->GetExtensionVersion(&version);
  MessageBody body;
  AppendMessageField(body, "bench-host");
  AppendMessageField(body, "webchat");
  AppendMessageField(body, "80");
  std::uint32_t id = 0;
  g_extension->BuildVEKACSMessage(g_message, 1000, 3, body, id);
  std::filesystem::remove_all(folder);
}

// range(0): 0 through the plain pool, 1 through the TLS pool.
void BM_ThroughPool(benchmark::State& state) {
  const bool tls = state.range(0) == 1;
  if (tls && g_tls_port == 0) {
    state.SkipWithError("no --tls-port");
    return;
  }
  std::string reply;
  for (auto _ : state) {
    if (!g_extension->CommunicateWithVEKACS(g_message, reply, reply, nullptr, tls)) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_PlainClient(benchmark::State& state) {
  TRSocket socket;
  if (socket.Create(0, 1, nullptr) != 0 || socket.Connect("127.0.0.1", g_port) != 0) {
    state.SkipWithError("cannot connect");
    return;
  }
  std::string response(64 * 1024, '\0');
  for (auto _ : state) {
    std::size_t sent = 0, got = 0;
    bool timed_out = false;
    socket.Send(g_message.data(), g_message.size(), sent, 90, 0);
    socket.Receive(response.data(), 29, got, timed_out, 50, 0, true);
    const auto length = static_cast<std::size_t>(protocol::ReadHeader(response).length);
    if (got != 29 || length < 29 || length > response.size()) {
      state.SkipWithError("bad response");
      break;
    }
    socket.Receive(response.data() + 29, length - 29, got, timed_out, 50, 0, true);
  }
  state.SetItemsProcessed(state.iterations());
}

// A new connection as the pool makes one: connect, and for TLS the handshake
// with the server's validation; then closed again. range(0) as above.
void BM_NewConnection(benchmark::State& state) {
  SocketFactory factory;
  factory.options.host = "127.0.0.1";
  factory.options.useSSL = state.range(0) == 1;
  factory.options.port = factory.options.useSSL ? g_tls_port : g_port;
  if (factory.options.port == 0) {
    state.SkipWithError("no --tls-port");
    return;
  }
  for (auto _ : state) {
    auto socket = factory.Create();
    if (!socket) {
      state.SkipWithError("cannot connect");
      break;
    }
    factory.Destroy(std::move(socket));
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ThroughPool)->Arg(0)->Threads(1)->Threads(8)->Threads(64)->UseRealTime()->MinTime(3);
BENCHMARK(BM_ThroughPool)->Arg(1)->Threads(1)->Threads(8)->UseRealTime()->MinTime(3);
BENCHMARK(BM_NewConnection)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_PlainClient)->Threads(1)->Threads(8)->Threads(64)->UseRealTime()->MinTime(3);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--port=", 7) == 0) g_port = std::atoi(argv[i] + 7);
    if (std::strncmp(argv[i], "--tls-port=", 11) == 0) g_tls_port = std::atoi(argv[i] + 11);
  }
  if (g_port == 0) {
    std::fprintf(stderr, "exchange_bench: --port=PORT of a running vekacs-sim is required\n");
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  Setup();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_extension.reset();
  return 0;
}
