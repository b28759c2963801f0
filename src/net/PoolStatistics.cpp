#include "net/PoolStatistics.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace {

void RaiseTo(std::atomic<std::int32_t>& value, std::int32_t candidate) {
  auto current = value.load(std::memory_order_relaxed);
  while (candidate > current && !value.compare_exchange_weak(current, candidate, std::memory_order_relaxed)) {
  }
}

void LowerTo(std::atomic<std::int32_t>& value, std::int32_t candidate) {
  auto current = value.load(std::memory_order_relaxed);
  while (candidate < current && !value.compare_exchange_weak(current, candidate, std::memory_order_relaxed)) {
  }
}

std::int32_t PerMille(std::int64_t count, std::int64_t total) {
  return total == 0 ? 0 : static_cast<std::int32_t>(count * 1000 / total);
}

std::int32_t Average(std::int64_t sum, std::int64_t count) {
  return count == 0 ? 0 : static_cast<std::int32_t>(sum / count);
}

}  // namespace

void PoolStatistics::Observe(int in_use, int available) {
  RaiseTo(max_in_use_, in_use);
  LowerTo(min_available_, available);
}

void PoolStatistics::Touch() {
  const auto now = static_cast<std::int32_t>(std::time(nullptr));
  std::int32_t unset = 0;
  first_time_.compare_exchange_strong(unset, now, std::memory_order_relaxed);
  last_time_.store(now, std::memory_order_relaxed);
}

void PoolStatistics::RecordRetrieval(int in_use, int available) {
  retrieved_.fetch_add(1, std::memory_order_relaxed);
  Observe(in_use, available);
  Touch();
}

void PoolStatistics::RecordReturn(int in_use, int available) {
  returned_.fetch_add(1, std::memory_order_relaxed);
  Observe(in_use, available);
  Touch();
}

void PoolStatistics::RecordBrokenReturn(int in_use, int available) {
  returned_broken_.fetch_add(1, std::memory_order_relaxed);
  Observe(in_use, available);
  Touch();
}

void PoolStatistics::RecordWait(std::int32_t milliseconds) {
  waits_.fetch_add(1, std::memory_order_relaxed);
  total_wait_ms_.fetch_add(milliseconds, std::memory_order_relaxed);
  Touch();
}

PoolStatisticsBlock PoolStatistics::Snapshot() const {
  PoolStatisticsBlock block;
  block.retrieved = retrieved_.load(std::memory_order_relaxed);
  block.returned = returned_.load(std::memory_order_relaxed);
  block.returnedBroken = returned_broken_.load(std::memory_order_relaxed);
  block.waits = waits_.load(std::memory_order_relaxed);
  block.totalWaitMs = total_wait_ms_.load(std::memory_order_relaxed);
  block.maxInUse = max_in_use_.load(std::memory_order_relaxed);
  block.minAvailable = min_available_.load(std::memory_order_relaxed);
  block.firstTime = first_time_.load(std::memory_order_relaxed);
  block.lastTime = last_time_.load(std::memory_order_relaxed);
  return block;
}

std::string FormatPoolStatisticsReport(const PoolStatisticsBlock& b) {
  std::string report;
  char line[160];
  const auto add = [&](int length) { report.append(line, static_cast<std::size_t>(length)); };
  const auto broken = PerMille(b.returnedBroken, b.retrieved);
  const auto waited = PerMille(b.waits, b.retrieved);
  report += "\nRegular Socket Pool Statistics\n----------------------\n";
  add(std::snprintf(line, sizeof line, "  Number of sockets retrieved:          %9" PRId64 "\n", b.retrieved));
  add(std::snprintf(line, sizeof line, "  Number of sockets returned:           %9" PRId64 "\n", b.returned));
  add(std::snprintf(line, sizeof line, "  Number of sockets returned broken:    %9" PRId64 " (%3d.%01d%%)\n",
                    b.returnedBroken, broken / 10, broken % 10));
  report += "\n";
  add(std::snprintf(line, sizeof line, "  Number of waits for socket:           %9" PRId64 " (%3d.%01d%%)\n",
                    b.waits, waited / 10, waited % 10));
  add(std::snprintf(line, sizeof line, "  Average wait time (all gets)            %7d millis\n",
                    Average(b.totalWaitMs, b.retrieved)));
  add(std::snprintf(line, sizeof line, "  Average wait time (waiting gets only)   %7d millis\n",
                    Average(b.totalWaitMs, b.waits)));
  report += "\n";
  add(std::snprintf(line, sizeof line, "  Max sockets in use:                       %5d\n", b.maxInUse));
  add(std::snprintf(line, sizeof line, "  Min sockets available:                    %5d\n", b.minAvailable));
  report += "\n";
  add(std::snprintf(line, sizeof line, "  Total run time:                         %7d seconds\n",
                    b.lastTime - b.firstTime));
  return report;
}
