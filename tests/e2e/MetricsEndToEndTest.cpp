// quorvix-host's metrics listener seen from outside: a live scrape that
// promtool accepts, label values that stay bounded under a flood of made-up
// request names, health that follows the back end, readiness that turns off
// when shutdown begins, and the watchdog's 504s counted.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "support/HostProcess.h"
#include "support/MetricsSamples.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"
#include "support/CountOccurrences.h"
#include "support/UrlEncode.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kHeartbeat = "varUserRequest=REQ_HEARTBEAT&varHostName=web&varWebApp=shop&varPort=80";
constexpr const char* kChatStart =
    "varUserRequest=REQ_JS_START&varCustomerName=Ann&varCaption=Question&varUserLanguage=en&varBusinessUnitName=Sales";

// A host with its metrics listener on a free loopback port, serving a copy of
// the site pointed at sim.
struct MeteredHost {
  MeteredHost(const SimProcess& sim, std::vector<std::string> extra = {}) {
    sim.InstallSite(QUORVIX_SITE_DIR, site.path());
    extra.insert(extra.end(), {"--metrics", "127.0.0.1:0", "--access-log", site.path() + "access.log"});
    host = HostProcess::ForSite(site.path(), extra);
  }
  bool ready() const { return host->ready() && host->metrics_port() != 0; }
  std::string AccessLog() const { return site.Read("access.log"); }
  HttpResponse Fetch(const std::string& path) const { return HttpFetch(host->metrics_port(), "GET", path, {}, {}, 5s); }

  TempDir site;
  std::unique_ptr<HostProcess> host;
};

// promtool's verdict on text: its exit status and what it printed.
std::pair<int, std::string> Promtool(const TempDir& folder, const std::string& text) {
  folder.Write("scrape.txt", text);
  const std::string command = "promtool check metrics < '" + folder.path() + "scrape.txt' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, "cannot run promtool"};
  std::string output;
  char buffer[4096];
  while (const auto count = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, count);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(MetricsEndToEndTest, ScrapePassesPromtoolAndMadeUpRequestNamesStayInOther) {
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  MeteredHost metered(sim);
  ASSERT_TRUE(metered.ready()) << metered.host->process().Output();
  const HostProcess& host = *metered.host;

  ASSERT_EQ(host.Get("varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en&varBusinessUnitName=Sales").status, 200);
  ASSERT_EQ(host.Post(kHeartbeat).status, 200);
  std::mt19937 random(18);
  constexpr int kMadeUp = 300;
  for (int i = 0; i < kMadeUp; ++i) {
    std::string name(1 + random() % 40, ' ');
    for (auto& c : name) c = static_cast<char>(1 + random() % 255);
    ASSERT_NE(host.Get("varUserRequest=" + UrlEncode(name)).status, 0) << i;
  }
  ASSERT_EQ(HttpFetch(host.port(), "GET", "/elsewhere").status, 404);

  const HttpResponse scrape = metered.Fetch("/metrics");
  ASSERT_EQ(scrape.status, 200);
  EXPECT_EQ(scrape.headers.at("content-type").rfind("text/plain; version=0.0.4", 0), 0u);
  TempDir scratch;
  const auto [status, complaints] = Promtool(scratch, scrape.body);
  EXPECT_EQ(status, 0) << complaints << "\n" << scrape.body;
  EXPECT_EQ(complaints, "");

  const auto samples = ParseSamples(scrape.body);
  std::set<std::string> operations;
  for (const auto& sample : samples) {
    if (sample.labels.count("operation")) operations.insert(sample.labels.at("operation"));
  }
  EXPECT_EQ(operations, (std::set<std::string>{"REQ_WEBCHAT_MAIN", "REQ_HEARTBEAT", "other"}));
  EXPECT_EQ(Sum(samples, "quorvix_http_requests_total", {{"operation", "other"}}), kMadeUp + 1);
  EXPECT_EQ(Sum(samples, "quorvix_http_requests_total", {{"operation", "other"}, {"status", "404"}}), 1);
  EXPECT_EQ(Sum(samples, "quorvix_http_requests_total", {{"operation", "REQ_WEBCHAT_MAIN"}, {"status", "200"}}), 1);
  EXPECT_EQ(Sum(samples, "quorvix_http_request_duration_seconds_count", {{"operation", "other"}}), kMadeUp);
  EXPECT_EQ(Sum(samples, "quorvix_http_request_duration_seconds_bucket", {{"operation", "REQ_HEARTBEAT"}, {"le", "+Inf"}}), 1);
  // The heartbeat took a pooled connection and gave it back.
  EXPECT_GE(Sum(samples, "quorvix_pool_retrieved_total", {{"pool", "plain"}}), 1);
  EXPECT_GE(Sum(samples, "quorvix_pool_returned_total", {{"pool", "plain"}}), 1);
  EXPECT_EQ(Sum(samples, "quorvix_pool_retrieved_total", {{"pool", "tls"}}), 0);  // no TLS pool
  EXPECT_EQ(Sum(samples, "quorvix_build_info"), 1);
  EXPECT_EQ(Sum(samples, "quorvix_module_loaded"), 1);
  // Every made-up name got the error page of an unknown request, with status
  // 200: only the module's count and the log's code show them.
  EXPECT_EQ(Sum(samples, "quorvix_error_pages_total", {{"code", "1010"}}), kMadeUp);
  EXPECT_EQ(Sum(samples, "quorvix_error_pages_total"), kMadeUp);
  const std::string log = metered.AccessLog();
  EXPECT_EQ(CountOccurrences(log, "\" 200 "), std::size_t{kMadeUp} + 2) << log;
  EXPECT_EQ(CountOccurrences(log, " code=1010\n"), std::size_t{kMadeUp}) << log;

  EXPECT_EQ(metered.Fetch("/healthz").status, 200);
  EXPECT_EQ(metered.Fetch("/readyz").status, 200);
  EXPECT_EQ(metered.Fetch("/other").status, 404);
  // The site's listener knows nothing of them.
  EXPECT_EQ(HttpFetch(host.port(), "GET", "/metrics").status, 404);
  EXPECT_EQ(metered.host->Stop(), 0);
}

TEST(MetricsEndToEndTest, HealthFollowsTheBackEndGoingAndComingBack) {
  auto sim = std::make_unique<SimProcess>();
  ASSERT_TRUE(sim->ready());
  const unsigned short port = sim->port();
  MeteredHost metered(*sim);
  ASSERT_TRUE(metered.ready()) << metered.host->process().Output();
  const HostProcess& host = *metered.host;
  // A heartbeat request goes to the back end as the diagnostics thread's do;
  // sending one on each try saves waiting for the thread's next.
  const auto health_after_heartbeat = [&] {
    (void)host.Get(kHeartbeat);
    return metered.Fetch("/healthz");
  };
  HttpResponse health;
  EXPECT_TRUE(WaitUntil([&] { return (health = health_after_heartbeat()).status == 200; }, 20s)) << health.body;
  EXPECT_EQ(health.body.rfind("ok: ", 0), 0u) << health.body;

  ASSERT_EQ(sim->Stop(), 0);
  sim.reset();
  EXPECT_TRUE(WaitUntil([&] { return (health = health_after_heartbeat()).status == 503; }, 30s)) << health.body;
  EXPECT_NE(health.body.find("failed"), std::string::npos) << health.body;
  EXPECT_EQ(std::count(health.body.begin(), health.body.end(), '\n'), 1) << health.body;
  EXPECT_EQ(metered.Fetch("/readyz").status, 200);  // the host itself still serves

  sim = std::make_unique<SimProcess>(std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(sim->ready());
  ASSERT_EQ(sim->port(), port);
  EXPECT_TRUE(WaitUntil([&] { return (health = health_after_heartbeat()).status == 200; }, 30s)) << health.body;
  EXPECT_EQ(metered.host->Stop(), 0);
}

TEST(MetricsEndToEndTest, WatchdogTimeoutsAreCountedAndReadinessEndsWhenShutdownBegins) {
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  ASSERT_EQ(sim.Control("fault delay 60000 0"), "");
  MeteredHost metered(sim, {"--pending-timeout", "2", "--shutdown-grace", "10"});
  ASSERT_TRUE(metered.ready()) << metered.host->process().Output();
  HostProcess& host = *metered.host;

  EXPECT_EQ(host.Get(kChatStart).status, 504);
  auto samples = ParseSamples(metered.Fetch("/metrics").body);
  EXPECT_EQ(Sum(samples, "quorvix_watchdog_timeouts_total"), 1);
  EXPECT_EQ(Sum(samples, "quorvix_http_requests_total", {{"operation", "REQ_JS_START"}, {"status", "504"}}), 1);
  EXPECT_EQ(Sum(samples, "quorvix_http_request_duration_seconds_bucket", {{"operation", "REQ_JS_START"}, {"le", "1"}}), 0);

  // A request held when the signal comes keeps the host in its shutdown.
  auto held = std::async(std::launch::async, [&] { return host.Get(kChatStart).status; });
  ASSERT_TRUE(WaitUntil([&] {
    return Sum(ParseSamples(metered.Fetch("/metrics").body), "quorvix_http_pending_requests") == 1;
  }));
  EXPECT_EQ(metered.Fetch("/readyz").status, 200);
  ASSERT_EQ(kill(host.process().pid(), SIGTERM), 0);
  HttpResponse ready;
  EXPECT_TRUE(WaitUntil([&] { return (ready = metered.Fetch("/readyz")).status == 503; }, 5s)) << ready.body;
  EXPECT_EQ(ready.body, "shutting down\n");
  EXPECT_NE(held.get(), 200);
  EXPECT_EQ(host.Stop(), 0);
}

}  // namespace
