// One HTTP request on its way through the module: the control block the
// module sees, what it writes back, and the state that decides who answers.
//
// Two parties own a request: the HTTP library, from the request line until it
// reports the request complete, and the module, from the call into it until
// it says it is done with the session (and a few seconds after, so that a
// late call from the module still finds valid memory and is refused). Callbacks from the
// module may come from any thread; they take mutex_.
#pragma once

#include <microhttpd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "isapi/httpext.h"

namespace host {

class PendingRequests;

class HostRequest : public std::enable_shared_from_this<HostRequest> {
 public:
  enum class Phase {
    kReceiving,  // headers and body arriving
    kQueued,     // handed to a request thread; the module not called yet
    kInModule,   // HttpExtensionProc is running
    kReturned,   // it returned while the library's thread still waited for it
    kSuspended,  // pending: connection suspended until the module is done
    kResuming,   // answer decided, waiting for the library to call us again
    kAnswered,
  };

  enum class Wait {
    kAnswerNow,  // queue the answer (QueueAnswer) on this thread
    kSuspended,  // the connection is suspended; it is resumed with the answer
  };

  // registry must outlive the request; access_log: write a line per answer.
  HostRequest(PendingRequests& registry, bool access_log, std::string raw_uri);

  // Request data, written by the library's thread before the module runs and
  // read-only afterwards.
  std::string method;  // as the client sent it
  std::string path;
  std::string query;
  std::string raw_uri;
  std::string remote_address;  // the client's, as the module sees it
  std::string logged_target;   // what the access log shows of raw_uri
  std::optional<std::string> static_file;  // set for a file of the static folder: its path inside it
  std::string body;  // released when the module is done
  std::vector<std::pair<std::string, std::string>> variables;  // server variables; as body
  std::uint8_t operation;  // what the metrics count it under (host/Operations.h); set before Queue

  // The method the module sees: a HEAD request is served as GET, and the
  // library leaves out the body.
  const char* ModuleMethod() const;

  // On the library's thread, once the request data is complete, before it
  // is handed to a request thread. The pending timeout counts from here, so
  // that it covers a module call that blocks as well as a pending request.
  void Queue();

  // On the library's thread, after the hand-over: waits up to limit for the
  // module's answer (its return, or its being done with a pending request).
  // A quick answer is then queued at once; otherwise the
  // connection is suspended and held, and the library's thread goes on with
  // other connections: no module call holds it up longer than limit. When
  // the server holds no more requests, the answer is a 503 at once.
  Wait AwaitModule(MHD_Connection* connection, std::chrono::microseconds limit);

  // On a request thread: points the control block at this request's data.
  // Null when the request was answered meanwhile (timed out, shut down,
  // client gone): the module is not called.
  QX_EXTENSION_CONTROL_BLOCK* PrepareControlBlock();

  // On the request thread, once HttpExtensionProc returned status: leaves the
  // connection suspended while the module works on, or resumes it so that
  // the library calls again to queue the answer.
  void ModuleReturned(std::uint32_t status);

  // Queues the answer: what the module wrote, or the status the host forced.
  // Returns MHD_NO when the connection should just be closed.
  MHD_Result QueueAnswer(MHD_Connection* connection);

  // Answers a suspended request without the module (timeout, shutdown, client
  // gone), even while the module still runs on it. Returns false when the
  // request was not suspended any more.
  bool ForceAnswer(unsigned status, bool close_connection);

  // The library will not call again for this request.
  void ConnectionCompleted();

  Phase phase() const;
  int fd() const { return fd_; }
  std::chrono::steady_clock::time_point pending_since() const { return pending_since_; }

 private:
  static int GetServerVariable(QX_HCONN conn, const char* name, void* buffer, uint32_t* size);
  static int WriteClient(QX_HCONN conn, const void* buffer, uint32_t* bytes, uint32_t reserved);
  static int ReadClient(QX_HCONN conn, void* buffer, uint32_t* size);
  static int ServerSupportFunction(QX_HCONN conn, uint32_t request, void* buffer, uint32_t* size,
                                   void* data);
  void DoneWithSession();
  void ResumeLocked();  // call with mutex_ held, when an answer is decided while suspended

  PendingRequests& registry_;
  const bool access_log_;
  QX_EXTENSION_CONTROL_BLOCK ecb_{};
  int fd_ = -1;
  std::chrono::steady_clock::time_point pending_since_;

  mutable std::mutex mutex_;
  std::condition_variable returned_;        // kReturned reached or done after it, for AwaitModule
  Phase phase_ = Phase::kReceiving;         // guarded by mutex_
  bool module_done_ = false;                // guarded by mutex_
  bool frozen_ = false;                     // no more output accepted; guarded by mutex_
  bool suspended_ = false;                  // connection suspended and held; guarded by mutex_
  bool close_connection_ = false;           // guarded by mutex_
  unsigned forced_status_ = 0;              // guarded by mutex_
  std::uint32_t module_status_ = QX_STATUS_PENDING;  // what HttpExtensionProc returned; guarded by mutex_
  bool headers_sent_ = false;               // guarded by mutex_
  bool expect_header_end_ = false;          // guarded by mutex_
  std::string status_line_;                 // guarded by mutex_
  std::string header_text_;                 // guarded by mutex_
  std::string output_;                      // guarded by mutex_
  MHD_Connection* connection_ = nullptr;    // while suspended; guarded by mutex_
  std::shared_ptr<HostRequest> module_hold_;  // guarded by mutex_
};

}  // namespace host
