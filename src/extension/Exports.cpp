// The module's entry points: the host's three, the two statistics exports,
// the heartbeat status a host's health check reads, the error pages by code
// for its metrics, and the trace file's reopening for log rotation.
// Each forwards to the one extension object and lets no exception escape.
#include <cstdint>

#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "isapi/ControlBlock.h"
#include "pages/ErrorPageCounts.h"

// Which names a DLL exports is up to quorvix.def; on Linux the visibility
// and module.map decide.
#define QX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
// Constructed when the module is loaded, destroyed when it is unloaded.
CRAVOExtension theExtension;
}  // namespace

QX_EXPORT isapi::Bool QX_ENTRY GetExtensionVersion(isapi::VersionInfo* version) {
  try {
    return theExtension.GetExtensionVersion(version) ? 1 : 0;
  } catch (...) {
    return 1;  // loading never fails; a failed start leaves defaults in force
  }
}

QX_EXPORT isapi::Dword QX_ENTRY HttpExtensionProc(isapi::ControlBlock* ecb) {
  return theExtension.HttpExtensionProc(ecb);
}

QX_EXPORT isapi::Bool QX_ENTRY TerminateExtension(isapi::Dword flags) {
  try {
    return theExtension.TerminateExtension(flags) ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

QX_EXPORT void QX_ENTRY GetPoolStatsEntry(void* buffer) {
  if (const auto* extension = CRAVOExtension::Instance()) extension->CopyPoolStatistics(false, buffer);
}

QX_EXPORT void QX_ENTRY GetSSLPoolStatsEntry(void* buffer) {
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
