#include "host/RequestMetrics.h"

#include <string>
#include <utility>

namespace host {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

}  // namespace

template <std::size_t kBuckets>
void DurationHistogram<kBuckets>::Record(std::int64_t nanoseconds) noexcept {
  if (nanoseconds < 0) nanoseconds = 0;
  const double seconds = static_cast<double>(nanoseconds) / 1e9;
  std::size_t bucket = 0;
  while (bucket < kBuckets && seconds > (*bounds_)[bucket]) ++bucket;
  counts_[bucket].fetch_add(1, kRelaxed);
  sum_ns_.fetch_add(static_cast<std::uint64_t>(nanoseconds), kRelaxed);
}

template <std::size_t kBuckets>
void DurationHistogram<kBuckets>::Render(Exposition& out, std::string_view name, const MetricLabel* label) const {
  std::array<std::uint64_t, kBuckets + 1> counts{};
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < counts.size(); ++i) total += counts[i] = counts_[i].load(kRelaxed);
  if (total == 0) return;
  const std::string bucket_name = std::string(name) + "_bucket";
  const auto sample = [&](std::string_view sample_name, std::string_view le, auto value) {
    if (label == nullptr && le.empty()) out.Sample(sample_name, {}, value);
    else if (label == nullptr) out.Sample(sample_name, {{"le", le}}, value);
    else if (le.empty()) out.Sample(sample_name, {*label}, value);
    else out.Sample(sample_name, {*label, {"le", le}}, value);
  };
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kBuckets; ++i) {
    cumulative += counts[i];
    sample(bucket_name, MetricNumber((*bounds_)[i]), cumulative);
  }
  sample(bucket_name, "+Inf", total);
  sample(std::string(name) + "_sum", "", static_cast<double>(sum_ns_.load(kRelaxed)) / 1e9);
  sample(std::string(name) + "_count", "", total);
}

namespace {
constinit RequestMetrics g_metrics;
}  // namespace

RequestMetrics& HostRequestMetrics() { return g_metrics; }

void RequestMetrics::RecordAnswer(std::uint8_t operation, unsigned status) noexcept {
  const std::size_t slot = status >= kFirstStatus && status <= kLastStatus ? status - kFirstStatus : kStatusSlots - 1;
  answers_[operation < kOperationCount ? operation : kOtherOperation][slot].fetch_add(1, kRelaxed);
}

void RequestMetrics::RecordDuration(std::uint8_t operation, std::int64_t nanoseconds) noexcept {
  durations_[operation < kOperationCount ? operation : kOtherOperation].Record(nanoseconds);
}

void RequestMetrics::RecordWatchdogTimeout() noexcept { watchdog_timeouts_.fetch_add(1, kRelaxed); }

void RequestMetrics::RecordModuleCall(std::int64_t nanoseconds) noexcept { module_calls_.Record(nanoseconds); }

void RequestMetrics::RecordBlockingModuleCall() noexcept { blocking_module_calls_.fetch_add(1, kRelaxed); }

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
    const MetricLabel label{"operation", OperationName(operation)};
    durations_[operation].Render(out, "quorvix_http_request_duration_seconds", &label);
  }

  out.Family("quorvix_watchdog_timeouts_total", "counter",
             "Pending requests the host answered 504 because the module left them pending too long.");
  out.Sample("quorvix_watchdog_timeouts_total", {}, watchdog_timeouts_.load(kRelaxed));

  out.Family("quorvix_module_call_duration_seconds", "histogram",
             "Time each call of HttpExtensionProc took, on the event loop's thread that read the request.");
  module_calls_.Render(out, "quorvix_module_call_duration_seconds", nullptr);
  out.Family("quorvix_module_calls_blocking_total", "counter",
             "Module calls that held their event loop so long that another thread took the loop over.");
  out.Sample("quorvix_module_calls_blocking_total", {}, blocking_module_calls_.load(kRelaxed));
}

template class DurationHistogram<RequestMetrics::kBucketSeconds.size()>;
template class DurationHistogram<RequestMetrics::kCallBucketSeconds.size()>;

}  // namespace host
