// quorvix-host: serves one extension module over HTTP.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/AccessLog.h"
#include "host/ExtensionModule.h"
#include "host/HostOptions.h"
#include "host/HttpHost.h"
#include "host/MetricsServer.h"

int main(int argc, char** argv) {
  const auto parsed = host::ParseHostOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.options) {
    std::fprintf(parsed.exit_code == 0 ? stdout : stderr, "%s\n", parsed.message.c_str());
    return parsed.exit_code;
  }
  const host::HostOptions& options = *parsed.options;

  // Signals are taken by sigwait below; every thread started from here on
  // inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);  // log rotation: reopen the log files
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string error;
  if (options.access_log && !options.access_log_path.empty() && !host::OpenAccessLog(options.access_log_path, error)) {
    std::fprintf(stderr, "quorvix-host: %s\n", error.c_str());
    return 1;
  }
  const auto load_start = std::chrono::steady_clock::now();
  const auto loaded_at = std::chrono::system_clock::now();
  auto module = host::ExtensionModule::Load(options.module_path, error);
  if (!module) {
    std::fprintf(stderr, "quorvix-host: %s\n", error.c_str());
    return 1;
  }
  QX_VERSION_INFO version{};
  module->GetExtensionVersion(&version);
  const std::chrono::duration<double> load_time = std::chrono::steady_clock::now() - load_start;

  auto server = std::make_unique<host::HttpHost>(options, *module);
  if (!server->Start(error)) {
    std::fprintf(stderr, "quorvix-host: %s\n", error.c_str());
    module->TerminateExtension(QX_TERM_MUST_UNLOAD);
    return 1;
  }
  std::unique_ptr<host::MetricsServer> metrics;
  if (!options.metrics_address.empty()) {
    const host::HttpHost& serving = *server;
    metrics = std::make_unique<host::MetricsServer>(
        server->FirstLoop(), options.metrics_address, options.metrics_port,
        host::MetricsServer::Sources{
            *module, version.lpszExtensionDesc, version.dwExtensionVersion, load_time.count(),
            std::chrono::duration<double>(loaded_at.time_since_epoch()).count(),
            [&serving] { return serving.PendingRequestsNow(); },
            [&serving] { return serving.ModuleRequestsInProgress(); },
            [&serving] { return serving.Threads(); }});
    if (!metrics->Start(error)) {
      std::fprintf(stderr, "quorvix-host: %s\n", error.c_str());
      server->Shutdown();
      metrics.reset();
      module->TerminateExtension(QX_TERM_MUST_UNLOAD);
      return 1;
    }
  }
  // The metrics line first: whoever waits for "serving" may scrape at once.
  if (metrics) std::printf("quorvix-host: metrics on %s/metrics\n", metrics->Url().c_str());
  std::printf("quorvix-host: serving %s (%s)\n", server->Url().c_str(), version.lpszExtensionDesc);
  std::fflush(stdout);

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) == 0 && signal_number == SIGHUP) {
    bool reopened = host::ReopenAccessLog(error);
    if (!reopened) std::fprintf(stderr, "quorvix-host: %s\n", error.c_str());
    if (module->ReopenTraceFile != nullptr && module->ReopenTraceFile() == 0) {
      reopened = false;
      std::fprintf(stderr, "quorvix-host: the module could not reopen its trace file; it writes on to the old one\n");
    }
    // A rotation script waits for this line: only what it says is true.
    std::printf(reopened ? "quorvix-host: log files reopened\n" : "quorvix-host: log files not all reopened\n");
    std::fflush(stdout);
  }
  // Balancers see the host unready while it still answers what it holds.
  if (metrics) metrics->BeginShutdown();
  std::printf("quorvix-host: stopping\n");
  std::fflush(stdout);
  // Module calls still blocked on the back end hold no part of the server:
  // it stops within the grace, and the module's stop cuts those waits short.
  // The metrics listener stops with the loops it runs on.
  server->Shutdown();
  if (metrics) metrics->ModuleStopped();
  module->TerminateExtension(QX_TERM_MUST_UNLOAD);
  if (const int busy = server->ModuleRequestsInProgress(); busy > 0) {
    // Module threads still run module code on those requests' control
    // blocks: keep both, and end without the destructors of statics, the
    // module's included, that those threads may still use.
    std::fprintf(stderr, "quorvix-host: %d request(s) still inside the module; not unloading it\n", busy);
    std::printf("quorvix-host: stopped\n");
    std::fflush(nullptr);
    std::_Exit(0);
  }
  metrics.reset();  // it runs on the first loop
  // They have left their calls already: a moment is all they need, and the stop has its bound.
  host::HttpHost::ReleaseLeftThreads(std::chrono::milliseconds(250));
  server.reset();
  module.reset();
  std::printf("quorvix-host: stopped\n");
  std::fflush(stdout);
  return 0;
}
