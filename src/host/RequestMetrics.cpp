#include "host/RequestMetrics.h"

#include <string>

namespace host {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

constexpr std::array<std::int64_t, RequestMetrics::kBucketSeconds.size()> BucketLimitsNs() {
  std::array<std::int64_t, RequestMetrics::kBucketSeconds.size()> limits{};
  for (std::size_t i = 0; i < limits.size(); ++i) {
    limits[i] = static_cast<std::int64_t>(RequestMetrics::kBucketSeconds[i] * 1e9 + 0.5);
  }
  return limits;
}
constexpr auto kBucketLimitsNs = BucketLimitsNs();

constinit RequestMetrics g_metrics;

}  // namespace

RequestMetrics& HostRequestMetrics() { return g_metrics; }

void RequestMetrics::RecordAnswer(std::uint8_t operation, unsigned status) noexcept {
  const std::size_t slot = status >= kFirstStatus && status <= kLastStatus ? status - kFirstStatus : kStatusSlots - 1;
  answers_[operation < kOperationCount ? operation : kOtherOperation][slot].fetch_add(1, kRelaxed);
}

void RequestMetrics::RecordDuration(std::uint8_t operation, std::int64_t nanoseconds) noexcept {
  if (operation >= kOperationCount) operation = kOtherOperation;
  if (nanoseconds < 0) nanoseconds = 0;
  std::size_t bucket = 0;
  while (bucket < kBucketLimitsNs.size() && nanoseconds > kBucketLimitsNs[bucket]) ++bucket;
  buckets_[operation][bucket].fetch_add(1, kRelaxed);
  duration_ns_[operation].fetch_add(static_cast<std::uint64_t>(nanoseconds), kRelaxed);
}

void RequestMetrics::RecordWatchdogTimeout() noexcept { watchdog_timeouts_.fetch_add(1, kRelaxed); }

void RequestMetrics::Render(Exposition& out) const {
  out.Family("quorvix_http_requests_total", "counter",
             "Requests answered, by the operation named in varUserRequest (other: none of the module's) and "
             "HTTP status (499: the client went away first).");
  for (std::uint8_t operation = 0; operation < kOperationCount; ++operation) {
    for (std::size_t slot = 0; slot < kStatusSlots; ++slot) {
      const std::uint64_t count = answers_[operation][slot].load(kRelaxed);
      if (count == 0) continue;
      const std::string status = slot + 1 == kStatusSlots ? "other" : std::to_string(kFirstStatus + slot);
      out.Sample("quorvix_http_requests_total", {{"operation", OperationName(operation)}, {"status", status}},
                 count);
    }
  }

  out.Family("quorvix_http_request_duration_seconds", "histogram",
             "Time from handing a request to the module to its answer, pending time included.");
  for (std::uint8_t operation = 0; operation < kOperationCount; ++operation) {
    std::uint64_t cumulative = 0;
    std::array<std::uint64_t, kBucketSeconds.size() + 1> counts{};
    for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = buckets_[operation][i].load(kRelaxed);
    for (const auto count : counts) cumulative += count;
    if (cumulative == 0) continue;
    const std::string_view name = OperationName(operation);
    cumulative = 0;
    for (std::size_t i = 0; i < kBucketSeconds.size(); ++i) {
      cumulative += counts[i];
      const std::string le = MetricNumber(kBucketSeconds[i]);
      out.Sample("quorvix_http_request_duration_seconds_bucket", {{"operation", name}, {"le", le}}, cumulative);
    }
    cumulative += counts.back();
    out.Sample("quorvix_http_request_duration_seconds_bucket", {{"operation", name}, {"le", "+Inf"}}, cumulative);
    out.Sample("quorvix_http_request_duration_seconds_sum", {{"operation", name}},
               static_cast<double>(duration_ns_[operation].load(kRelaxed)) / 1e9);
    out.Sample("quorvix_http_request_duration_seconds_count", {{"operation", name}}, cumulative);
  }

  out.Family("quorvix_watchdog_timeouts_total", "counter",
             "Pending requests the host answered 504 because the module left them pending too long.");
  out.Sample("quorvix_watchdog_timeouts_total", {}, watchdog_timeouts_.load(kRelaxed));
}

}  // namespace host
