// The module's entry points: the host's three, the two statistics exports,
// the heartbeat status a host's health check reads, the error pages by code
// for its metrics, and the trace file's reopening for log rotation.
// Each forwards to the one extension object and lets no exception escape.
#include <cstdint>

#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "isapi/httpext.h"
#include "pages/ErrorPageCounts.h"

#define QX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
// Constructed when the module is loaded, destroyed when it is unloaded.
CRAVOExtension theExtension;
}  // namespace

QX_EXPORT int GetExtensionVersion(QX_VERSION_INFO* version) {
  try {
    return theExtension.GetExtensionVersion(version) ? 1 : 0;
  } catch (...) {
    return 1;  // loading never fails; a failed start leaves defaults in force
  }
}

QX_EXPORT uint32_t HttpExtensionProc(QX_EXTENSION_CONTROL_BLOCK* ecb) {
  return theExtension.HttpExtensionProc(ecb);
}

QX_EXPORT int TerminateExtension(uint32_t flags) {
  try {
    return theExtension.TerminateExtension(flags) ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

QX_EXPORT void GetPoolStatsEntry(void* buffer) {
  if (const auto* extension = CRAVOExtension::Instance()) extension->CopyPoolStatistics(false, buffer);
}

QX_EXPORT void GetSSLPoolStatsEntry(void* buffer) {
  if (const auto* extension = CRAVOExtension::Instance()) extension->CopyPoolStatistics(true, buffer);
}

QX_EXPORT void GetHeartbeatStatusEntry(QX_HEARTBEAT_STATUS* status) {
  if (status == nullptr) return;
  if (const auto* extension = CRAVOExtension::Instance()) extension->CopyHeartbeatStatus(status);
}

QX_EXPORT uint32_t GetErrorPageCountsEntry(QX_ERROR_PAGE_COUNT* counts, uint32_t capacity) {
  return pages::CopyErrorPageCounts(counts, capacity);
}

// Called by the host on SIGHUP, after log rotation renamed debug.txt: later
// lines go to a new file of that name. 0 when it could not be opened.
QX_EXPORT int ReopenTraceFile() { return diag::Trace().Reopen() ? 1 : 0; }
