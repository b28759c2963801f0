// One client connection, as one short story on its event loop: read a head,
// judge it, read its body, answer it (from the static folder, with a refusal,
// or by calling the module inline), write the answer, and go on with the next
// request, in order. Every deadline is this connection's own timer: the head
// deadline, the idle timeout and the pending timeout; nothing sweeps.
//
// The module is called on the loop's thread. A call that returns at once is
// answered at once; a pending request holds the connection (not a thread)
// until the module says it is done, from any thread, which is posted to the
// loop. A call that blocks may have its loop handed to another thread
// (EventLoops): what remains of it is then posted to the loop too. The
// connection holds at most one call inside the module: its next request
// waits until the previous call returned, even one answered 504 meanwhile.
//
// While the module has a request the connection reads on: pipelined requests
// wait in the buffer, and a client whose connection is reset is noticed at
// once: its request is dropped (499 in the log). An end of stream is not
// enough: a client that half-closed after its requests waits for their
// answers, and cannot be told from one that left until the answer is
// written; a write that fails is logged 499 too.
//
// Threads: everything on the connection's loop, except TellModuleDone.
// Kept alive by the handlers that hold it (shared_from_this).
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/file_body.hpp>
#include <boost/beast/http/message.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/EventLoops.h"
#include "host/HandlerMemory.h"
#include "host/HostRequest.h"
#include "host/RequestParser.h"
#include "host/ServerVariables.h"
#include "host/Serving.h"
#include "host/StatusPages.h"

namespace host {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // On any thread; Start then runs on socket's loop, loop_index.
  Connection(Serving& serving, LoopSocket socket, PeerAddress peer, std::size_t loop_index);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Start();

  // Shutdown, past the grace: a request the module has is answered 503,
  // one being written is finished, anything else is closed.
  void Stop();

  // Any thread: the module is done with a pending request.
  static void TellModuleDone(const std::weak_ptr<Connection>& connection, std::shared_ptr<HostRequest> request);

 private:
  using Clock = std::chrono::steady_clock;
  using FileResponse = boost::beast::http::response<boost::beast::http::file_body>;
  enum class State {
    kHead,       // waiting for, or reading, a request head
    kBody,       // the head was judged; its body arrives
    kModule,     // the module has the request (or it waits for the previous call to return)
    kWriting,    // an answer goes out
    kLingering,  // closing: our side is shut, the client's last bytes are read and dropped
    kClosed,
  };

  void Read();
  void OnRead(const boost::system::error_code& error, std::size_t bytes);
  void Process();
  void Parse();
  // The head is in: refuses it or expects its body. False when refused.
  bool JudgeHead();
  void Dispatch();
  void ServeStatic();
  void RunModule();
  void CallModule();
  void CallReturned(const std::shared_ptr<HostRequest>& request);
  void OnModuleDone(const std::shared_ptr<HostRequest>& request);
  void AnswerFromModule();
  // The host answers a request the module has: status, or for 499 (the
  // client left) just the close.
  void ForceAnswer(unsigned status);
  void Refuse(unsigned status, bool close, const char* allow = nullptr);
  // Every answer, once: counted in the metrics and written to the access log
  // (target as the log shows it, bytes of body sent, note after them).
  void NoteAnswer(unsigned status, std::string_view target, std::size_t bytes, std::string_view note = {});
  // Notes an answer about to be written (bytes of body, whole_bytes in all):
  // at once when one send takes it, otherwise once its write ends, as gone
  // (499) if the client could not take it.
  void NoteAnswerAsWritten(unsigned status, std::string_view target, std::size_t bytes, std::size_t whole_bytes,
                           std::string_view note = {});
  // Whether the answer about to go closes the connection.
  bool Closing() const;
  // While the module has the request of a client that ended its stream:
  // a reset drops it (499).
  void WatchForReset();
  void Write(StringResponse response, bool close);
  void WriteFile(FileResponse response, bool close);
  void StartWrite(bool close);  // the state of a connection whose answer goes out
  // Writes message, kept by the connection until OnWritten.
  template <typename Message>
  void Send(Message& message, bool close);
  void OnWritten(const boost::system::error_code& error);
  void NextRequest();
  bool MayAskForHeartbeat() const;
  void Hold();
  void Unhold();
  // A graceful end: our side is shut; what the client still sends is read
  // and dropped for a moment, so that its last answer is not lost to a reset.
  void Linger();
  void Close();

  Clock::time_point Deadline() const;
  void ArmTimer();
  void OnTimer(const boost::system::error_code& error);

  Serving& serving_;
  const boost::asio::any_io_executor executor_;  // the loop's; read-only, any thread
  LoopSocket socket_;
  LoopTimer timer_;
  const PeerAddress peer_;
  const std::size_t loop_index_;

  State state_ = State::kHead;
  boost::beast::flat_buffer buffer_;
  std::optional<RequestParser> parser_;
  std::shared_ptr<HostRequest> request_;  // the request being judged, in the module or answered
  std::string static_file_;               // its path inside the static folder, for a static request
  bool static_request_ = false;
  bool wrong_path_ = false;               // a GET or HEAD of a path nothing serves: the not-found page
  bool head_request_ = false;             // HEAD: the answer goes without its body
  bool keep_alive_ = true;                // what the request's head asks for
  bool call_in_module_ = false;           // a call has not returned yet
  bool call_waits_ = false;               // request_ waits for that call to return
  bool held_ = false;                     // counted in serving_.held
  bool busy_counted_ = false;             // counted in serving_.busy
  bool reading_ = false;
  bool peer_done_ = false;                // the client's end of stream came
  bool watching_reset_ = false;           // WatchForReset's wait is out
  bool close_after_write_ = false;
  // A module's answer, head and body as they go out (kept for the next one's
  // head to reuse the memory).
  std::string answer_head_;
  std::string answer_body_;
  HandlerMemory read_memory_;
  HandlerMemory write_memory_;
  std::optional<StringResponse> response_;
  std::optional<FileResponse> file_response_;
  // An answer noted once its write ends (NoteAnswerAsWritten).
  struct UnwrittenNote {
    unsigned status;
    std::string target;
    std::size_t bytes;
    std::string note;
  };
  std::optional<UnwrittenNote> unwritten_note_;

  Clock::time_point head_since_;     // the wait for this head began
  Clock::time_point last_io_;        // the last bytes read or written
  Clock::time_point handed_over_;    // the request went to the module
  Clock::time_point linger_until_;
  Clock::time_point timer_expiry_;
  bool timer_armed_ = false;
};

}  // namespace host
