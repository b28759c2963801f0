#include "host/MetricsServer.h"

#include <time.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "host/Exposition.h"
#include "host/Health.h"
#include "host/RateLimitedLog.h"
#include "host/RequestMetrics.h"
#include "net/PoolStatistics.h"
#include "platform/ListeningSocket.h"

namespace host {
namespace {

// Scrapers and probes are few; the limits only keep a flood off the host.
constexpr unsigned kMaxConnections = 32;
constexpr unsigned kIdleTimeoutSeconds = 10;
// A value the module never writes there: left untouched, the block says that
// the pool does not exist.
constexpr std::int32_t kNoPool = -1;

MHD_Result Answer(MHD_Connection* connection, unsigned status, const std::string& body, const char* type,
                  const char* allow = nullptr) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (allow != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result AnswerVerdict(MHD_Connection* connection, const HealthVerdict& verdict) {
  return Answer(connection, verdict.ok ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE, verdict.reason + "\n",
                "text/plain; charset=utf-8");
}

// The clock the module stamps its heartbeats with.
std::int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void RenderPools(Exposition& out, const ExtensionModule& module) {
  struct Field {
    const char* name;
    const char* type;
    const char* help;
    double (*value)(const PoolStatisticsBlock&);
  };
  static const Field kFields[] = {
      {"quorvix_pool_retrieved_total", "counter", "Connections taken from the back-end connection pool.",
       [](const PoolStatisticsBlock& b) { return static_cast<double>(b.retrieved); }},
      {"quorvix_pool_returned_total", "counter", "Connections given back to the pool in working order.",
       [](const PoolStatisticsBlock& b) { return static_cast<double>(b.returned); }},
      {"quorvix_pool_returned_broken_total", "counter", "Connections given back broken, and closed.",
       [](const PoolStatisticsBlock& b) { return static_cast<double>(b.returnedBroken); }},
      {"quorvix_pool_waits_total", "counter", "Times a request waited for a free pooled connection.",
       [](const PoolStatisticsBlock& b) { return static_cast<double>(b.waits); }},
      {"quorvix_pool_wait_seconds_total", "counter", "Time requests spent waiting for a pooled connection.",
       [](const PoolStatisticsBlock& b) { return static_cast<double>(b.totalWaitMs) / 1000; }},
      {"quorvix_pool_max_in_use", "gauge", "Most connections of the pool in use at once so far.",
       [](const PoolStatisticsBlock& b) { return static_cast<double>(b.maxInUse); }},
      {"quorvix_pool_min_available", "gauge",
       "Fewest idle connections of the pool seen so far (10000 until the pool is first used).",
       [](const PoolStatisticsBlock& b) { return static_cast<double>(b.minAvailable); }},
      {"quorvix_pool_first_use_timestamp_seconds", "gauge", "When the pool was first used (0: not yet).",
       [](const PoolStatisticsBlock& b) { return static_cast<double>(b.firstTime); }},
      {"quorvix_pool_last_use_timestamp_seconds", "gauge", "When the pool was last used (0: not yet).",
       [](const PoolStatisticsBlock& b) { return static_cast<double>(b.lastTime); }},
  };
  // One copy of each block, so that a family's samples and the families agree.
  struct Pool {
    std::string_view label;
    bool present = false;
    PoolStatisticsBlock block;
  };
  Pool pools[2];
  pools[0].label = "plain";
  pools[1].label = "tls";
  const QX_PoolStatsEntryFn entries[] = {module.GetPoolStatsEntry, module.GetSSLPoolStatsEntry};
  for (std::size_t i = 0; i < 2; ++i) {
    if (entries[i] == nullptr) continue;
    pools[i].block.minAvailable = kNoPool;
    entries[i](&pools[i].block);
    pools[i].present = pools[i].block.minAvailable != kNoPool;
  }
  if (!pools[0].present && !pools[1].present) return;
  for (const auto& field : kFields) {
    out.Family(field.name, field.type, field.help);
    for (const auto& pool : pools) {
      if (pool.present) out.Sample(field.name, {{"pool", pool.label}}, field.value(pool.block));
    }
  }
}

}  // namespace

MetricsServer::MetricsServer(std::string address, unsigned short port, Sources sources)
    : address_(std::move(address)), requested_port_(port), sources_(std::move(sources)) {}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(std::string& error) {
  const auto listening = platform::OpenListeningSocket(address_, requested_port_, {.nonblocking = true});
  if (!listening.ok()) {
    error = "cannot listen for metrics on " + address_ + ":" + std::to_string(requested_port_) + ": " +
            (listening.failure == platform::ListeningSocket::Failure::kNotIPv4 ? "not an IPv4 address"
                                                                               : std::strerror(listening.error_number));
    return false;
  }
  port_ = listening.port;
  daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG, 0, nullptr,
                             nullptr, &MetricsServer::OnRequest, this,
                             MHD_OPTION_EXTERNAL_LOGGER, &LogLibraryMessage, nullptr,
                             MHD_OPTION_LISTEN_SOCKET, listening.fd,
                             MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
                             MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds,
                             MHD_OPTION_END);
  if (daemon_ == nullptr) {
    close(listening.fd);
    error = "cannot start the metrics server on " + address_ + ":" + std::to_string(port_);
    return false;
  }
  return true;
}

std::string MetricsServer::Url() const { return "http://" + address_ + ":" + std::to_string(port_); }

void MetricsServer::Stop() {
  if (daemon_ == nullptr) return;
  MHD_stop_daemon(daemon_);  // closes the listening socket too
  daemon_ = nullptr;
}

std::string MetricsServer::RenderMetrics() const {
  Exposition out;
  const bool loaded = module_loaded_.load(std::memory_order_acquire);
  out.Family("quorvix_build_info", "gauge", "Always 1; the labels name the module and its version.");
  const std::string version = std::to_string(QX_VERSION_MAJOR(sources_.module_version)) + "." +
                              std::to_string(sources_.module_version & 0xFFFFu);
  out.Sample("quorvix_build_info",
             {{"module", sources_.module.FileName()},
              {"module_description", sources_.module_description},
              {"module_version", version}},
             std::uint64_t{1});
  out.Family("quorvix_module_loaded", "gauge", "1 while the module is loaded and not told to terminate.");
  out.Sample("quorvix_module_loaded", {}, std::uint64_t{loaded ? 1u : 0u});
  out.Family("quorvix_module_load_duration_seconds", "gauge", "Time loading and starting the module took.");
  out.Sample("quorvix_module_load_duration_seconds", {}, sources_.load_seconds);
  out.Family("quorvix_module_loaded_timestamp_seconds", "gauge", "When the module was loaded.");
  out.Sample("quorvix_module_loaded_timestamp_seconds", {}, sources_.loaded_at_seconds);

  out.Family("quorvix_http_pending_requests", "gauge",
             "Requests held by the host now, waiting for the module to answer them.");
  out.Sample("quorvix_http_pending_requests", {}, static_cast<double>(sources_.pending_requests()));
  out.Family("quorvix_module_requests_in_progress", "gauge",
             "Requests the module has taken and not yet finished.");
  out.Sample("quorvix_module_requests_in_progress", {}, static_cast<double>(sources_.module_requests()));
  HostRequestMetrics().Render(out);

  if (loaded) {
    RenderPools(out, sources_.module);
    if (sources_.module.GetHeartbeatStatusEntry != nullptr) {
      QX_HEARTBEAT_STATUS heartbeat{};
      sources_.module.GetHeartbeatStatusEntry(&heartbeat);
      if (heartbeat.lastSuccessNs != 0) {
        out.Family("quorvix_backend_heartbeat_success_age_seconds", "gauge",
                   "Time since the last heartbeat to the back end that succeeded.");
        out.Sample("quorvix_backend_heartbeat_success_age_seconds", {},
                   static_cast<double>(MonotonicNs() - heartbeat.lastSuccessNs) / 1e9);
      }
    }
  }
  return out.Text();
}

MHD_Result MetricsServer::OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                    const char*, const char*, size_t* upload_data_size, void** request_context) {
  // The first call only announces the request.
  static int announced;
  if (*request_context == nullptr) {
    *request_context = &announced;
    return MHD_YES;
  }
  if (*upload_data_size != 0) return MHD_NO;  // nothing here takes a body
  const auto& self = *static_cast<const MetricsServer*>(cls);
  const std::string_view path = url != nullptr ? url : "";
  const std::string_view verb = method != nullptr ? method : "";
  if (path != "/metrics" && path != "/healthz" && path != "/readyz") {
    return Answer(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain; charset=utf-8");
  }
  if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
    return Answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "GET or HEAD\n", "text/plain; charset=utf-8",
                  "GET, HEAD");
  }
  const bool loaded = self.module_loaded_.load(std::memory_order_acquire);
  if (path == "/metrics") return Answer(connection, MHD_HTTP_OK, self.RenderMetrics(), Exposition::kContentType);
  if (path == "/readyz") {
    return AnswerVerdict(connection, CheckReadiness(self.shutting_down_.load(std::memory_order_relaxed), loaded));
  }
  QX_HEARTBEAT_STATUS heartbeat{};
  const bool reported = loaded && self.sources_.module.GetHeartbeatStatusEntry != nullptr;
  if (reported) self.sources_.module.GetHeartbeatStatusEntry(&heartbeat);
  return AnswerVerdict(connection,
                       CheckHealth(loaded, reported ? &heartbeat : nullptr, MonotonicNs()));
}

}  // namespace host
