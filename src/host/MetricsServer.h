// The operator's listener, apart from the site's: /metrics in the Prometheus
// text format, /healthz and /readyz. It has its own small HTTP server, so
// that neither the site's connection limits nor its load keep a scrape or a
// health check out, and it is never reachable where the site is.
//
// Threads: the main thread calls Start, Url, BeginShutdown, ModuleStopped and
// Stop; the library's one thread answers requests, calling the module's
// statistics and heartbeat exports and the sources' functions.
#pragma once

#include <microhttpd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "host/ExtensionModule.h"

namespace host {

class MetricsServer {
 public:
  struct Sources {
    const ExtensionModule& module;  // must stay loaded until Stop
    std::string module_description;
    std::uint32_t module_version = 0;
    double load_seconds = 0;       // what loading and starting the module took
    double loaded_at_seconds = 0;  // when, in seconds since 1970
    std::function<int()> pending_requests;  // held by the host now; any thread
    std::function<int()> module_requests;   // taken by the module and not finished; any thread
  };

  MetricsServer(std::string address, unsigned short port, Sources sources);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds and starts serving; on failure returns false with a one-line reason.
  bool Start(std::string& error);
  // "http://ADDR:PORT", the port as bound.
  std::string Url() const;

  // From here on /readyz answers 503, so that a balancer drains the host.
  void BeginShutdown() { shutting_down_.store(true, std::memory_order_relaxed); }
  // The module was told to terminate: it is no longer asked anything, and
  // both checks answer 503.
  void ModuleStopped() { module_loaded_.store(false, std::memory_order_release); }
  void Stop();

  // The /metrics page as it is now. Any thread.
  std::string RenderMetrics() const;

 private:
  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* upload_data, size_t* upload_data_size,
                              void** request_context);

  const std::string address_;
  const unsigned short requested_port_;
  const Sources sources_;
  std::atomic<bool> shutting_down_{false};
  std::atomic<bool> module_loaded_{true};
  MHD_Daemon* daemon_ = nullptr;  // main thread only
  unsigned short port_ = 0;       // written by Start before the library runs
};

}  // namespace host
