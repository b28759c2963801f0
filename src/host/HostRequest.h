// One HTTP request on its way through the module: the control block the
// module sees, what it writes back, and who answers.
//
// Two parties own a request: its connection, from its head until its answer
// is written, and the module, from the call into it until it says it is done
// with the session: until the loop's call in which it said so returns, or,
// said on a thread of the module's, a few seconds after, so that a late call
// from that thread still finds valid memory and is refused. The connection's side
// runs on its event loop; the module calls back from any thread. What both
// touch is guarded by mutex_.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "host/LoopWait.h"
#include "host/RequestParser.h"
#include "host/ResponseHeaders.h"
#include "host/ServerVariables.h"
#include "isapi/httpext.h"

namespace host {

class Connection;

class HostRequest : public std::enable_shared_from_this<HostRequest> {
 public:
  HostRequest(bool access_log, std::string method, std::string raw_uri);

  // Request data, written on the loop before the module runs and read-only
  // afterwards.
  std::string method;  // as the client sent it
  std::string path;
  std::string query;
  std::string raw_uri;
  std::string remote_address;  // the client's, as the module sees it
  std::string logged_target;   // what the access log shows of raw_uri
  std::string body;            // released when the module is done
  HeaderFields fields;         // the head's, for the server variables; as body
  unsigned short peer_port = 0;
  const ServerAddress* server = nullptr;  // where it came in
  std::uint8_t operation;      // what the metrics count it under (host/Operations.h)

  // The method the module sees: a HEAD request is served as GET, and its
  // answer goes without the body.
  const char* ModuleMethod() const;

  // On the loop, just before the call: points the control block at this
  // request's data; from here the module holds the request. connection is
  // told (on its loop) when the module is done with a pending request.
  // loop is the connection's; with offer_loop the module may wait on it
  // through the event-loop service.
  QX_EXTENSION_CONTROL_BLOCK* PrepareControlBlock(std::weak_ptr<Connection> connection,
                                                  const boost::asio::any_io_executor& loop, bool offer_loop);

  // On the thread that made the call, once HttpExtensionProc returned status.
  void ModuleReturned(std::uint32_t status);

  enum class Next {
    kAnswer,   // the module's answer is complete: TakeAnswer
    kWait,     // pending: the connection is told when the module is done
    kNothing,  // answered already (forced, or taken before)
  };
  // On the loop, after the call returned and after each word that the
  // module is done: whether the answer can go now. kAnswer only once.
  Next Decide();

  struct Answer {
    unsigned status = 200;
    std::string header_text;  // as the module wrote it (AppendAnswerHead)
    std::string body;
    // What the module asked to add to the log line (the code an error page
    // shows), letters and digits only; empty when nothing.
    std::string log_note;
  };
  // On the loop, after Decide said kAnswer.
  Answer TakeAnswer();

  // On the loop: the host answers without the module (timeout, shutdown,
  // client gone), even while the module still works on the request; what it
  // writes from here on is refused, and a wait it has on the loop reports
  // the request abandoned. False when the answer was taken already.
  bool Force();

 private:
  static int GetServerVariable(QX_HCONN conn, const char* name, void* buffer, uint32_t* size);
  static int WriteClient(QX_HCONN conn, const void* buffer, uint32_t* bytes, uint32_t reserved);
  static int ReadClient(QX_HCONN conn, void* buffer, uint32_t* size);
  static int ServerSupportFunction(QX_HCONN conn, uint32_t request, void* buffer, uint32_t* size,
                                   void* data);
  static int LoopWaitFor(QX_HCONN conn, int32_t fd, uint32_t events, int64_t deadline_ns,
                         QX_LOOP_CALLBACK callback, void* context);
  static int LoopCancel(QX_HCONN conn);
  void DoneWithSession();
  // The module is finished with the request (returned without pending, or
  // done): call with mutex_ held; returns the hold to release after it.
  std::shared_ptr<HostRequest> ReleaseLocked();

  const bool access_log_;
  QX_EXTENSION_CONTROL_BLOCK ecb_{};
  std::weak_ptr<Connection> connection_;  // set before the call, read-only afterwards
  std::shared_ptr<LoopWait> loop_wait_;   // with the service offered; as connection_

  mutable std::mutex mutex_;
  bool returned_ = false;                   // HttpExtensionProc returned; guarded by mutex_
  bool module_done_ = false;                // guarded by mutex_
  bool frozen_ = false;                     // no more output accepted; guarded by mutex_
  bool decided_ = false;                    // answered, by the module or forced; guarded by mutex_
  std::uint32_t module_status_ = QX_STATUS_PENDING;  // what HttpExtensionProc returned; guarded by mutex_
  bool headers_sent_ = false;               // guarded by mutex_
  bool expect_header_end_ = false;          // guarded by mutex_
  std::string status_line_;                 // guarded by mutex_
  std::string header_text_;                 // guarded by mutex_
  std::string output_;                      // guarded by mutex_
  std::shared_ptr<HostRequest> module_hold_;  // while the module holds it; guarded by mutex_
};

// Requests the module has taken and not yet finished. Any thread.
std::int64_t ModuleRequestsInProgress();

}  // namespace host
