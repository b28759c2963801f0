#include "host/MetricsServer.h"

#include <time.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <cstring>
#include <optional>
#include <utility>

#include "host/Exposition.h"
#include "host/Health.h"
#include "host/RequestMetrics.h"
#include "net/PoolStatistics.h"
#include "platform/ListeningSocket.h"

namespace host {

namespace http = boost::beast::http;

namespace {

// Scrapers and probes are few; the limits only keep a flood off the host.
constexpr int kMaxConnections = 32;
constexpr auto kIdleTimeout = std::chrono::seconds(10);
constexpr std::uint32_t kMaxHeadBytes = 8192;
constexpr std::uint64_t kMaxBodyBytes = 4096;
constexpr const char* kPlainText = "text/plain; charset=utf-8";
// A value the module never writes there: left untouched, the block says that
// the pool does not exist.
constexpr std::int32_t kNoPool = -1;

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

// Error pages go out with status 200: only the module's counts tell an
// operator how many visitors saw which code.
void RenderErrorPages(Exposition& out, const ExtensionModule& module) {
  if (module.GetErrorPageCountsEntry == nullptr) return;
  QX_ERROR_PAGE_COUNT counts[QX_ERROR_PAGE_CODES_KEPT + 1]{};
  const std::uint32_t filled =
      std::min<std::uint32_t>(module.GetErrorPageCountsEntry(counts, std::size(counts)), std::size(counts));
  out.Family("quorvix_error_pages_total", "counter", "Error pages the module answered, by the code they show.");
  for (std::uint32_t i = 0; i < filled; ++i) {
    counts[i].code[sizeof counts[i].code - 1] = '\0';
    out.Sample("quorvix_error_pages_total", {{"code", counts[i].code}}, counts[i].count);
  }
}

}  // namespace

class MetricsServer::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(const MetricsServer& server, boost::asio::ip::tcp::socket socket, std::shared_ptr<int> open)
      : server_(server), stream_(std::move(socket)), open_(std::move(open)) {
    ++*open_;
  }
  ~Session() { --*open_; }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Read() {
    parser_.emplace();
    parser_->header_limit(kMaxHeadBytes);
    parser_->body_limit(kMaxBodyBytes);
    stream_.expires_after(kIdleTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                       self->OnRead(error);
                     });
  }

 private:
  void OnRead(const boost::system::error_code& error) {
    if (error) return;  // closed with the session
    const auto& request = parser_->get();
    const std::string_view path(request.target().data(), request.target().size());
    response_ = {};
    if (request.method() != http::verb::get && request.method() != http::verb::head &&
        (path == "/metrics" || path == "/healthz" || path == "/readyz")) {
      response_.result(http::status::method_not_allowed);
      response_.set(http::field::allow, "GET, HEAD");
      response_.body() = "GET or HEAD\n";
      response_.set(http::field::content_type, kPlainText);
    } else {
      Page page = server_.Answer(path);
      response_.result(page.status);
      response_.set(http::field::content_type, page.type);
      response_.body() = std::move(page.body);
    }
    response_.set(http::field::cache_control, "no-store");
    response_.keep_alive(request.keep_alive());
    response_.prepare_payload();
    if (request.method() == http::verb::head) response_.body().clear();
    http::async_write(stream_, response_,
                      [self = shared_from_this()](const boost::system::error_code& written, std::size_t) {
                        if (!written && self->response_.keep_alive()) self->Read();
                      });
  }

  const MetricsServer& server_;
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  std::shared_ptr<int> open_;
};

MetricsServer::MetricsServer(boost::asio::io_context& loop, std::string address, unsigned short port,
                             Sources sources)
    : address_(std::move(address)), requested_port_(port), sources_(std::move(sources)), acceptor_(loop), pause_(loop) {}

MetricsServer::~MetricsServer() = default;

bool MetricsServer::Start(std::string& error) {
  const auto listening = platform::OpenListeningSocket(address_, requested_port_, {.nonblocking = true});
  if (!listening.ok()) {
    error = "cannot listen for metrics on " + address_ + ":" + std::to_string(requested_port_) + ": " +
            (listening.failure == platform::ListeningSocket::Failure::kNotIPv4 ? "not an IPv4 address"
                                                                               : std::strerror(listening.error_number));
    return false;
  }
  port_ = listening.port;
  boost::system::error_code assigned;
  acceptor_.assign(boost::asio::ip::tcp::v4(), listening.fd, assigned);
  if (assigned) {
    close(listening.fd);
    error = "cannot start the metrics server on " + address_ + ":" + std::to_string(port_);
    return false;
  }
  boost::asio::post(acceptor_.get_executor(), [this] { Accept(); });
  return true;
}

void MetricsServer::Accept() {
  acceptor_.async_accept([this](const boost::system::error_code& error, boost::asio::ip::tcp::socket socket) {
    if (error == boost::asio::error::operation_aborted) return;
    const int number = error.value();
    if (error && number != ECONNABORTED && number != EPROTO && number != EINTR) {
      // Out of descriptors the connection stays waiting in the backlog:
      // accepting again at once would only spin.
      pause_.expires_after(std::chrono::milliseconds(100));
      pause_.async_wait([this](const boost::system::error_code& paused) {
        if (!paused) Accept();
      });
      return;
    }
    // A refused connection is closed with its socket.
    if (!error && *sessions_ < kMaxConnections) {
      std::make_shared<Session>(*this, std::move(socket), sessions_)->Read();
    }
    Accept();
  });
}

std::string MetricsServer::Url() const { return "http://" + address_ + ":" + std::to_string(port_); }

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
  out.Family("quorvix_host_threads", "gauge",
             "Threads that run the host's event loops, wait as spares, or are inside module calls.");
  out.Sample("quorvix_host_threads", {}, static_cast<double>(sources_.threads()));
  HostRequestMetrics().Render(out);

  if (loaded) {
    RenderPools(out, sources_.module);
    RenderErrorPages(out, sources_.module);
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

MetricsServer::Page MetricsServer::Answer(std::string_view path) const {
  const bool loaded = module_loaded_.load(std::memory_order_acquire);
  const auto verdict = [](const HealthVerdict& health) {
    return Page{health.ok ? 200u : 503u, kPlainText, health.reason + "\n"};
  };
  if (path == "/metrics") return {200, Exposition::kContentType, RenderMetrics()};
  if (path == "/readyz") return verdict(CheckReadiness(shutting_down_.load(std::memory_order_relaxed), loaded));
  if (path != "/healthz") return {404, kPlainText, "not found\n"};
  QX_HEARTBEAT_STATUS heartbeat{};
  const bool reported = loaded && sources_.module.GetHeartbeatStatusEntry != nullptr;
  if (reported) sources_.module.GetHeartbeatStatusEntry(&heartbeat);
  return verdict(CheckHealth(loaded, reported ? &heartbeat : nullptr, MonotonicNs()));
}

}  // namespace host
