// Whether the host is healthy (its module loaded and talking to the back end)
// and ready (taking requests), each with a one-line reason, for the metrics
// listener's /healthz and /readyz.
#pragma once

#include <cstdint>
#include <string>

#include "isapi/httpext.h"

namespace host {

struct HealthVerdict {
  bool ok = false;
  std::string reason;  // one line, no line end
};

// heartbeat: what the module reports, null when it exports no heartbeat
// status; now_ns: CLOCK_MONOTONIC in nanoseconds. Healthy while the module
// is loaded and its last heartbeat to the back end succeeded recently enough:
// within two heartbeat periods, one for the wait until the next heartbeat is
// due and one for that heartbeat's exchange with its waits and tries.
HealthVerdict CheckHealth(bool module_loaded, const QX_HEARTBEAT_STATUS* heartbeat, std::int64_t now_ns);

// Ready while the host is not shutting down and its module is loaded.
HealthVerdict CheckReadiness(bool shutting_down, bool module_loaded);

}  // namespace host
