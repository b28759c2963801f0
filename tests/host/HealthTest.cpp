// When the host calls itself healthy: every way the heartbeat status can
// stand, including a heartbeat that went quiet without failing.
#include "host/Health.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kNow = 1000 * kSecond;

TEST(HealthTest, HealthyOnlyWhileTheLastHeartbeatSucceededWithinTwoPeriods) {
  struct Row {
    const char* name;
    bool loaded;
    bool reported;
    QX_HEARTBEAT_STATUS status;
    bool ok;
    const char* reason;  // the start of it
  };
  const Row rows[] = {
      {"fresh success", true, true, {kNow - 3 * kSecond, kNow - 3 * kSecond, 1, 30}, true,
       "ok: last heartbeat to the back end succeeded 3 s ago"},
      {"success just within two periods", true, true, {kNow - 60 * kSecond, kNow - 60 * kSecond, 1, 30}, true, "ok"},
      {"quiet for longer than two periods", true, true, {kNow - 61 * kSecond, kNow - 61 * kSecond, 1, 30}, false,
       "last heartbeat to the back end succeeded 61 s ago, none since (limit 60 s)"},
      {"a shorter period", true, true, {kNow - 11 * kSecond, kNow - 11 * kSecond, 1, 5}, false, "last heartbeat"},
      {"no period reported", true, true, {kNow - 50 * kSecond, kNow - 50 * kSecond, 1, 0}, true, "ok"},
      {"last one failed", true, true, {kNow - 2 * kSecond, kNow - 40 * kSecond, 0, 30}, false,
       "last heartbeat to the back end failed 2 s ago"},
      {"none yet", true, true, {0, 0, 0, 30}, false, "no heartbeat to the back end yet"},
      {"module without the export", true, false, {}, false, "the module reports no heartbeats"},
      {"module stopped", false, true, {kNow, kNow, 1, 30}, false, "module not loaded"},
  };
  for (const auto& row : rows) {
    const auto verdict = host::CheckHealth(row.loaded, row.reported ? &row.status : nullptr, kNow);
    EXPECT_EQ(verdict.ok, row.ok) << row.name;
    EXPECT_EQ(verdict.reason.rfind(row.reason, 0), 0u) << row.name << ": " << verdict.reason;
    EXPECT_EQ(verdict.reason.find('\n'), std::string::npos) << row.name;
  }
}

}  // namespace
