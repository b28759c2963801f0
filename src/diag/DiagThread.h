// The diagnostics thread: sends a heartbeat about every 30 seconds and reports
// the collected records to the back end, trimming them when the back end
// refuses. It runs while diagnostics are enabled; stopping it is deleting it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "diag/BackendLink.h"

namespace diag {

class DiagList;

class DiagThread {
 public:
  // How the thread paces itself; tests shorten it.
  struct Timing {
    std::chrono::milliseconds firstDelay{5000};
    std::chrono::milliseconds pass{100};
    std::chrono::seconds heartbeatEvery{30};
    std::chrono::milliseconds stopLimit{300000};
    // The last report at stop waits for the back end, up to the pool's ten
    // seconds when it is down; tests without a back end skip it.
    bool finalReport = true;
    // What the last report leaves of the stop's time for the thread to write
    // down what it could not send and end.
    std::chrono::milliseconds finishMargin{500};
    // How long deleting the thread waits for it past the FinishBy deadline. By
    // then every wait of the thread's is cut short and only its last steps are
    // left, which a busy machine may delay; a web server unloads the module
    // right after its stop, and a thread still running then takes the
    // server's process down.
    std::chrono::milliseconds lateGrace{1500};
  };

  // Starts the thread on link with the report interval in milliseconds and
  // the record limit; writes the "Starting DiagThread..." record first.
  static std::unique_ptr<DiagThread> StartThread(BackendLink& link, int interval_ms,
                                                 std::size_t record_limit, Timing timing);

  // Before diagnostics are disabled, when the stop has a time budget: the last
  // report waits for the back end until deadline less finishMargin instead of
  // the exchange's own timeouts, and deleting the thread waits for it no
  // longer than until deadline plus lateGrace.
  void FinishBy(std::chrono::steady_clock::time_point deadline);

  // Waits for the thread (it ends once diagnostics are disabled) at most
  // stopLimit, and not past the deadline FinishBy gave; a thread still stuck in an
  // exchange then is left to finish on its own and the fact is traced: ending
  // a thread by force is unsafe.
  virtual ~DiagThread();
  DiagThread(const DiagThread&) = delete;
  DiagThread& operator=(const DiagThread&) = delete;

  // Threads started and not yet finished, detached ones included.
  static int RunningThreads();

 private:
  struct Shared;
  DiagThread(BackendLink& link, int interval_ms, std::size_t record_limit, Timing timing);
  static void Run(std::shared_ptr<Shared> shared);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

// Sends the collected records as one report; 1 when accepted or when there
// was nothing to send, -1 when undeliverable (records dropped, unless
// diagnostics are off: then they stay for the last report, which tells what
// it could not send) or refused (records kept, list trimmed to record_limit),
// -100 without link or list.
int SendDiagReport(BackendLink* link, const std::shared_ptr<DiagList>& list, std::size_t record_limit);

}  // namespace diag
