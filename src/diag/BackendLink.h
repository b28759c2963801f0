// What the diagnostics thread needs of the back end, and no more: the names a
// heartbeat carries, the heartbeat itself, and the delivery of one report.
// The diagnostics code reaches the back end only through this, so it depends
// on no extension type; the extension implements it and tests fake it.
//
// Threads: the diagnostics thread calls every member; SendDiagReport may call
// SendDiagRecords from any thread. An implementation guards its own state.
// Lifetime: a link must outlive every DiagThread started on it, including one
// left to finish on its own at stop (DiagThread::RunningThreads() says when
// the last has ended).
#pragma once

#include <span>
#include <string>

namespace diag {

class BackendLink {
 public:
  struct ServerNames {
    std::string webServer;       // empty while not known
    std::string webApplication;  // empty while not known
  };
  struct ReportResult {
    bool delivered = false;  // the back end answered the report
    long long code = 0;      // its return code when delivered: 0 accepted, else refused
  };

  virtual ~BackendLink() = default;

  // The names this front end runs under, as the heartbeat reports them.
  virtual ServerNames DiagServerNames() const = 0;
  // Sends one heartbeat carrying the names; returns its result code.
  virtual int SendDiagHeartbeat(const std::string& web_server, const std::string& web_application) = 0;
  // Sends fields (a level name and a text form per record) as one report. A
  // field longer than the message can carry is cut, never a reason to fail
  // the report: one oversized record must not hold up every later report.
  [[nodiscard]] virtual ReportResult SendDiagRecords(std::span<const std::string> fields) = 0;
};

}  // namespace diag
