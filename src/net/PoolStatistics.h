// Usage statistics of a connection pool: a 64-byte block that monitoring
// tools copy through the module's exports, and the report written to the
// trace file at stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// The exported layout, little-endian, no padding.
struct PoolStatisticsBlock {
  std::int64_t retrieved = 0;
  std::int64_t returned = 0;
  std::int64_t returnedBroken = 0;
  std::int64_t waits = 0;
  std::int64_t totalWaitMs = 0;
  std::int64_t reserved = 0;
  std::int32_t maxInUse = 0;
  std::int32_t minAvailable = 10000;  // 10000: nothing observed yet
  std::int32_t firstTime = 0;
  std::int32_t lastTime = 0;
};
static_assert(sizeof(PoolStatisticsBlock) == 64, "the exported block is 64 bytes");

// The counters behind a block, updated from many threads at once without a
// lock; each field is exact, fields may be a moment apart from each other.
class PoolStatistics {
 public:
  void RecordRetrieval(int in_use, int available);
  void RecordReturn(int in_use, int available);
  void RecordBrokenReturn(int in_use, int available);
  void RecordWait(std::int32_t milliseconds);
  PoolStatisticsBlock Snapshot() const;

 private:
  void Observe(int in_use, int available);
  void Touch();

  std::atomic<std::int64_t> retrieved_{0};
  std::atomic<std::int64_t> returned_{0};
  std::atomic<std::int64_t> returned_broken_{0};
  std::atomic<std::int64_t> waits_{0};
  std::atomic<std::int64_t> total_wait_ms_{0};
  std::atomic<std::int32_t> max_in_use_{0};
  std::atomic<std::int32_t> min_available_{10000};
  std::atomic<std::int32_t> first_time_{0};
  std::atomic<std::int32_t> last_time_{0};
};

// The report lines of one pool, as written to the trace file.
std::string FormatPoolStatisticsReport(const PoolStatisticsBlock& block);
