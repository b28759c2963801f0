#include "host/Health.h"

namespace host {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int32_t kDefaultHeartbeatSeconds = 30;

std::string SecondsAgo(std::int64_t then_ns, std::int64_t now_ns) {
  return std::to_string((now_ns - then_ns) / kNsPerSecond) + " s ago";
}

}  // namespace

HealthVerdict CheckHealth(bool module_loaded, const QX_HEARTBEAT_STATUS* heartbeat, std::int64_t now_ns) {
  if (!module_loaded) return {false, "module not loaded"};
  if (heartbeat == nullptr) return {false, "the module reports no heartbeats to the back end"};
  if (heartbeat->lastAttemptNs == 0) return {false, "no heartbeat to the back end yet"};
  if (heartbeat->lastSucceeded == 0) {
    return {false, "last heartbeat to the back end failed " + SecondsAgo(heartbeat->lastAttemptNs, now_ns)};
  }
  const std::int32_t every = heartbeat->everySeconds > 0 ? heartbeat->everySeconds : kDefaultHeartbeatSeconds;
  const std::int64_t limit_ns = 2 * static_cast<std::int64_t>(every) * kNsPerSecond;
  if (now_ns - heartbeat->lastSuccessNs > limit_ns) {
    return {false, "last heartbeat to the back end succeeded " + SecondsAgo(heartbeat->lastSuccessNs, now_ns) +
                       ", none since (limit " + std::to_string(2 * every) + " s)"};
  }
  return {true, "ok: last heartbeat to the back end succeeded " + SecondsAgo(heartbeat->lastSuccessNs, now_ns)};
}

HealthVerdict CheckReadiness(bool shutting_down, bool module_loaded) {
  if (shutting_down) return {false, "shutting down"};
  if (!module_loaded) return {false, "module not loaded"};
  return {true, "ok"};
}

}  // namespace host
