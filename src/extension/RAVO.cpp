#include "extension/RAVO.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "net/TlsContext.h"
#include "net/Winsock.h"
#include "platform/DebugOutput.h"
#include "platform/NoDestructor.h"
#include "platform/WaitLimit.h"
#include "protocol/Message.h"

namespace {

std::atomic<CRAVOExtension*> g_extension{nullptr};

// How long the module's stop may take, whatever the back end does. The host
// stops the module once pending requests had their grace, so no answer still
// on its way from the back end is awaited: exchanges under way end at once
// (requests still inside the module fail and are answered), and the last
// diagnostics report gets this time, less a moment to write down what it
// could not send.
constexpr auto kStopBudget = std::chrono::seconds(3);

}  // namespace

CRAVOExtension::CRAVOExtension(std::string module_path, const Routes& routes)
    : m_routes(routes),
      m_modulePath(std::move(module_path)),
      m_versionString(protocol::kVersion),
      m_backend(m_versionString, static_cast<std::uint32_t>(std::time(nullptr))) {
  // A stop earlier in this process (of another extension object) must not
  // bound this one's waits.
  platform::LiftWaitLimit();
  g_extension.store(this, std::memory_order_release);
}

CRAVOExtension::~CRAVOExtension() {
  if (m_diagThread) {
    // Unloaded without a stop: the thread ends only once diagnostics are off.
    diag::SetDiagEnabled(false);
    StopDiagnostics();
  }
  // Response handlers of pending requests run against a whole extension:
  // their threads end before anything here goes. A pool whose connections
  // are still lent to a thread past this limit lives on until they are back.
  if (const int busy = m_backend.StopWorkers(std::chrono::seconds(10)); busy > 0) {
    diag::TraceText("CRAVOExtension::~CRAVOExtension: %d worker thread(s) still busy\n", busy);
  }
  if (m_networkStarted) {
    // POSIX sockets need no shutdown; the count only pairs starts and ends.
    net::WinsockCleanup();
  }
  if (m_securityLoaded) net::UnloadSecurityInterface();
  diag::InstallDiagList(nullptr);
  platform::CloseSystemLog();
  CRAVOExtension* self = this;
  g_extension.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

CRAVOExtension* CRAVOExtension::Instance() { return g_extension.load(std::memory_order_acquire); }

bool CRAVOExtension::GetExtensionVersion(QX_VERSION_INFO* version) {
  // A module started again after a stop in the same process waits as usual.
  platform::LiftWaitLimit();
  LoadSettings();
  if (m_settings.AnyServicePlain()) StartPlainPool();
  if (m_settings.AnyServiceSecure()) StartTlsPool();
  if (diag::DiagEnabled()) StartDiagnostics();

  CHttpServer::GetExtensionVersion(version);
  version->dwExtensionVersion = kExtensionVersion;
  std::memset(version->lpszExtensionDesc, 0, sizeof version->lpszExtensionDesc);
  kExtensionDescription.copy(version->lpszExtensionDesc, sizeof version->lpszExtensionDesc - 1);
  return true;
}

void CRAVOExtension::StartPlainPool() {
  diag::TraceThreadLine("CRAVOExtension::GetExtensionVersion: Starting non-SSL socket pool\n");
  m_networkStarted = net::WinsockStartup() == 0;
  diag::TraceThreadLine(
      "CRAVOExtension::GetExtensionVersion: non-SSL socket pool parms: port=%ld, "
      "minsockets=%ld, maxsockets=%ld\n",
      static_cast<long>(m_settings.port), static_cast<long>(m_settings.minSockets),
      static_cast<long>(m_settings.maxSockets));
  m_backend.StartPlainPool({m_settings.backendAddress, m_settings.port, m_settings.minSockets, m_settings.maxSockets});
}

void CRAVOExtension::StartTlsPool() {
  diag::TraceThreadLine("CRAVOExtension::GetExtensionVersion: Starting SSL socket pool\n");
  // A failed load is not fatal: the pool then makes no connection and the
  // TLS services answer 1002.
  if (!m_securityLoaded) {
    m_securityLoaded = net::LoadSecurityInterface(m_settings.moduleDirectory + kClientCertificateFolder);
  }
  diag::TraceThreadLine(
      "CRAVOExtension::GetExtensionVersion: SSL socket pool parms: port=%ld, minsockets=%ld, "
      "maxsockets=%ld\n",
      static_cast<long>(m_settings.sslPort), static_cast<long>(m_settings.minSSLSockets),
      static_cast<long>(m_settings.maxSSLSockets));
  m_backend.StartTlsPool(
      {m_settings.backendAddress, m_settings.sslPort, m_settings.minSSLSockets, m_settings.maxSSLSockets});
  diag::TraceThreadLine("CRAVOExtension::GetExtensionVersion: pool created! \n");
}

void CRAVOExtension::StartDiagnostics() {
  try {
    diag::InstallDiagList(std::make_shared<diag::DiagList>(m_settings.diagThreshold));
  } catch (const std::exception&) {
    diag::SetDiagEnabled(false);
    return;
  }
  if (!m_diagThread) {
    m_diagThread = diag::DiagThread::StartThread(*this, m_settings.diagIntervalSec * 1000,
                                                 static_cast<std::size_t>(m_settings.diagMaxMemory), m_diagTiming);
  }
}

void CRAVOExtension::StopDiagnostics() {
  // The thread sees diagnostics switched off, sends its last report and ends.
  m_diagThread.reset();
}

void CRAVOExtension::CopyPoolStatistics(bool tls, void* buffer) const {
  m_backend.CopyStatistics(tls, buffer);
}

void CRAVOExtension::CopyHeartbeatStatus(QX_HEARTBEAT_STATUS* status) const {
  const auto record = m_heartbeats.Read();
  status->lastAttemptNs = record.lastAttemptNs;
  status->lastSuccessNs = record.lastSuccessNs;
  status->lastSucceeded = record.lastSucceeded ? 1 : 0;
  status->everySeconds = static_cast<std::int32_t>(m_diagTiming.heartbeatEvery.count());
}

bool CRAVOExtension::TerminateExtension(std::uint32_t flags) {
  switch (flags) {
    case QX_TERM_ADVISORY_UNLOAD:
      diag::TraceTextNoFlush(
          "CRAVOExtension::TerminateExtension: the server wants to unload the extension,which "
          "can return false if the server should not unload the extension; \n");
      break;
    case QX_TERM_MUST_UNLOAD:
      diag::TraceTextNoFlush(
          "CRAVOExtension::TerminateExtension: the server is about to unload the extension, "
          "which cannot refuse.\n");
      break;
    default:
      diag::TraceTextNoFlush(
          "CRAVOExtension::TerminateExtension: TerminateExtension called. dwFlag =%ld\n",
          static_cast<long>(flags));
      break;
  }
  const auto stop_by = platform::WaitClock::now() + kStopBudget;
  const bool diagnostics = diag::DiagEnabled();
  if (diagnostics && m_diagThread) m_diagThread->FinishBy(stop_by);
  if (diagnostics) diag::SetDiagEnabled(false);
  // The grace for pending requests is over: no exchange is worth waiting
  // for beyond this point, save the last report.
  platform::ImposeWaitLimit(platform::WaitClock::now());
  if (diagnostics) StopDiagnostics();
  // The module is about to be unloaded: no worker thread may still run its
  // code afterwards. Their exchanges end at once now, so only a job stuck
  // elsewhere outlives the rest of the budget.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(stop_by - platform::WaitClock::now());
  if (const int busy = m_backend.StopWorkers(std::max(left, std::chrono::milliseconds(0))); busy > 0) {
    diag::TraceText("CRAVOExtension::TerminateExtension: %d worker thread(s) still busy\n", busy);
  }
  if (!diag::TraceOn()) return true;
  m_backend.TraceStatistics();
  diag::Trace().Close();
  return true;
}

void CRAVOExtension::UpdateServerVariables(CHttpServerContext* ctx) {
  std::lock_guard lock(m_serverVariableLock);
  if (!m_webServerName.empty()) return;
  m_webServerName = "Unknown";
  m_webApplicationName = "Unknown";

  constexpr std::uint32_t kBufferSize = 1024;
  long error = 0;
  if (const auto url = ctx->GetServerVariable("URL", kBufferSize, &error)) {
    const auto first = url->find('/');
    const auto second = first == std::string::npos ? first : url->find('/', first + 1);
    if (second != std::string::npos) m_webApplicationName = url->substr(first + 1, second - first - 1);
  } else {
    diag::TraceText("CRAVOExtension::UpdateServerVariables: fail to get URL. Error=%ld\n", error);
  }
  if (auto server = ctx->GetServerVariable("SERVER_NAME", kBufferSize, &error)) {
    m_webServerName = std::move(*server);
  } else {
    diag::TraceText("CRAVOExtension::UpdateServerVariables: fail to get SERVER_NAME. Error=%ld\n",
                    error);
  }
  diag::TraceText("CRAVOExtension::UpdateServerVariables: Web application name = %s\n",
                  m_webApplicationName.c_str());
  diag::TraceText("CRAVOExtension::UpdateServerVariables: Web Server name = %s\n",
                  m_webServerName.c_str());
}

CRAVOExtension::ServerNames CRAVOExtension::CurrentServerNames() const {
  std::lock_guard lock(m_serverVariableLock);
  return {m_webServerName, m_webApplicationName};
}
