// The operator's listener, apart from the site's: /metrics in the Prometheus
// text format, /healthz and /readyz. It runs on the host's first event loop
// with connections of its own, so that the site's connection limits never
// keep a scrape or a health check out, and it is never reachable where the
// site is.
//
// Threads: the main thread calls Start, Url, BeginShutdown and ModuleStopped,
// and destroys it once the loop no longer runs; the loop answers requests,
// calling the module's statistics and heartbeat exports and the sources'
// functions.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
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
    std::function<unsigned()> threads;      // running the loops or inside module calls; any thread
  };

  MetricsServer(boost::asio::io_context& loop, std::string address, unsigned short port, Sources sources);
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

  // The /metrics page as it is now. Any thread.
  std::string RenderMetrics() const;

 private:
  class Session;

  void Accept();
  // The status, type and body for a GET or HEAD of path.
  struct Page {
    unsigned status;
    const char* type;
    std::string body;
  };
  Page Answer(std::string_view path) const;

  const std::string address_;
  const unsigned short requested_port_;
  const Sources sources_;
  std::atomic<bool> shutting_down_{false};
  std::atomic<bool> module_loaded_{true};
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer pause_;  // between accepts that fail, e.g. out of descriptors
  std::shared_ptr<int> sessions_ = std::make_shared<int>(0);  // open ones; on the loop only
  unsigned short port_ = 0;  // written by Start before the loop serves
};

}  // namespace host
