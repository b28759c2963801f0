#include "diag/DiagThread.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "platform/DebugOutput.h"
#include "platform/WaitLimit.h"

namespace diag {
namespace {

std::atomic<int> g_running{0};

DiagEntry DirectRecord(int level, std::string_view text, int line) {
  return DiagEntry(level, text, "Diags", line, static_cast<std::int64_t>(std::time(nullptr)));
}

// The records the last report could not deliver go to the trace file and the
// system log, so that a back end that is down at stop costs them no silence.
void WriteUnsent(const DiagList& list) {
  const auto records = list.Snapshot();
  if (records.empty()) return;
  TraceText("DiagThread::Run: last diag report not sent, %zu record(s) follow\n", records.size());
  platform::OutputWarningText("DiagThread::Run: last diag report not sent, " + std::to_string(records.size()) +
                              " record(s) follow");
  for (const auto& record : records) {
    const std::string line = std::string(record.LevelName()) + " " + record.TextForm();
    TraceText("DiagThread::Run: not sent: %s\n", line.c_str());
    platform::OutputWarningText("DiagThread::Run: not sent: " + line);
  }
}

}  // namespace

struct DiagThread::Shared {
  Shared(BackendLink& backend, int interval, std::size_t limit, Timing pacing)
      : link(backend), interval_ms(interval), record_limit(limit), timing(pacing) {}
  BackendLink& link;
  const int interval_ms;
  const std::size_t record_limit;
  const Timing timing;
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;      // guarded by mutex
  bool finished = false;  // guarded by mutex
  std::optional<std::chrono::steady_clock::time_point> finish_by;  // guarded by mutex

  // Sleeps for duration or until told to stop; false when stopping.
  bool Sleep(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex);
    return !wake.wait_for(lock, duration, [this] { return stop; });
  }
};

int SendDiagReport(BackendLink* link, const std::shared_ptr<DiagList>& list, std::size_t record_limit) {
  if (link == nullptr || !list) return -100;
  std::vector<std::string> report;
  list->CollectForReport(report);
  if (report.empty()) return 1;
  const auto result = link->SendDiagRecords(report);
  if (!result.delivered) {
    // At stop the records stay: the last report tries them again and tells
    // what it could not send.
    if (DiagEnabled()) list->RemoveReported();
    return -1;
  }
  if (result.code == 0) {
    list->RemoveReported();
    return 1;
  }
  (void)list->Add(DirectRecord(kLevelSevr, "Diag Report Failed", 524));
  list->Trim(record_limit);
  return -1;
}

DiagThread::DiagThread(BackendLink& link, int interval_ms, std::size_t record_limit, Timing timing)
    : shared_(std::make_shared<Shared>(link, interval_ms, record_limit, timing)) {}

std::unique_ptr<DiagThread> DiagThread::StartThread(BackendLink& link, int interval_ms,
                                                    std::size_t record_limit, Timing timing) {
  if (const auto list = CurrentDiagList()) (void)list->Add(DirectRecord(kLevelInfo, "Starting DiagThread...", 653));
  TraceText("DiagThread::StartThread: Starting DiagThread...\n");
  std::unique_ptr<DiagThread> thread(new DiagThread(link, interval_ms, record_limit, timing));
  ++g_running;
  try {
    thread->thread_ = std::thread(&DiagThread::Run, thread->shared_);
  } catch (const std::system_error&) {
    --g_running;
    return nullptr;
  }
  return thread;
}

void DiagThread::FinishBy(std::chrono::steady_clock::time_point deadline) {
  std::lock_guard lock(shared_->mutex);
  shared_->finish_by = deadline;
}

DiagThread::~DiagThread() {
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point give_up;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stop = true;
    const auto own_limit = start + shared_->timing.stopLimit;
    give_up = shared_->finish_by ? std::min(own_limit, *shared_->finish_by + shared_->timing.lateGrace) : own_limit;
  }
  shared_->wake.notify_all();
  if (!thread_.joinable()) return;
  bool finished;
  {
    std::unique_lock lock(shared_->mutex);
    finished = shared_->wake.wait_until(lock, give_up, [this] { return shared_->finished; });
  }
  if (finished) {
    thread_.join();
  } else {
    TraceText("DiagThread::~DiagThread: thread did not end within %lld ms; left to finish on its own\n",
              static_cast<long long>(std::chrono::ceil<std::chrono::milliseconds>(give_up - start).count()));
    thread_.detach();
  }
}

int DiagThread::RunningThreads() { return g_running.load(); }

void DiagThread::Run(std::shared_ptr<Shared> shared) {
  BackendLink& link = shared->link;
  shared->Sleep(shared->timing.firstDelay);
  auto names = link.DiagServerNames();
  if (names.webServer.empty()) names.webServer = "Unknown";
  if (names.webApplication.empty()) names.webApplication = "Unknown";

  std::time_t last_heartbeat = 0;
  long interval_counter = 0;
  while (DiagEnabled()) {
    const std::time_t now = std::time(nullptr);
    if (now - last_heartbeat > shared->timing.heartbeatEvery.count()) {
      const int result = link.SendDiagHeartbeat(names.webServer, names.webApplication);
      TraceText("DiagThread::Run: a heart beat sent.WebServerName=%s, WebAppName=%s,iRC=%ld\n",
                names.webServer.c_str(), names.webApplication.c_str(), static_cast<long>(result));
      last_heartbeat = std::time(nullptr);
    }
    const auto list = CurrentDiagList();
    if ((list && list->Count() > shared->record_limit) || interval_counter >= shared->interval_ms) {
      SendDiagReport(&link, list, shared->record_limit);
      interval_counter = 0;
    }
    interval_counter += 100;
    shared->Sleep(shared->timing.pass);
  }
  if (const auto list = CurrentDiagList()) {
    (void)list->Add(DirectRecord(kLevelSevr, "Finishing DiagThread...", 448));
    if (shared->timing.finalReport) {
      std::optional<std::chrono::steady_clock::time_point> finish_by;
      {
        std::lock_guard lock(shared->mutex);
        finish_by = shared->finish_by;
      }
      // A stop with a budget lets the report wait only for what is left of it,
      // whatever the back end does; the module's wait limit has already cut
      // every other exchange short.
      std::optional<platform::ScopedWaitLimit> limit;
      if (finish_by) limit.emplace(*finish_by - shared->timing.finishMargin);
      if (SendDiagReport(&link, list, shared->record_limit) != 1) WriteUnsent(*list);
    }
    list->DumpToDebugger();
  }
  {
    std::lock_guard lock(shared->mutex);
    shared->finished = true;
  }
  shared->wake.notify_all();
  --g_running;
}

}  // namespace diag
