#include "host/Connection.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <array>

#include "host/AccessLog.h"
#include "host/EventLoops.h"
#include "host/Operations.h"
#include "host/RequestChecks.h"
#include "host/RequestMetrics.h"
#include "host/RequestName.h"
#include "host/ResponseHeaders.h"
#include "host/StaticFiles.h"
#include "platform/Text.h"

namespace host {

namespace asio = boost::asio;
namespace http = boost::beast::http;

namespace {

// Bytes asked for per read.
constexpr std::size_t kReadSize = 16 * 1024;
// Pipelined bytes kept while a request is answered; beyond, the reading waits.
constexpr std::size_t kMaxBufferedAhead = 64 * 1024;
// An answer up to this size is noted before it is written: one send to a
// client that reads takes it.
constexpr std::size_t kNotedAtOnceBytes = 16 * 1024;
// How long a closing connection reads and drops what the client still sends.
constexpr auto kLinger = std::chrono::seconds(2);

std::int64_t Nanoseconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

}  // namespace

Connection::Connection(Serving& serving, LoopSocket socket, PeerAddress peer, std::size_t loop_index)
    : serving_(serving),
      executor_(socket.get_executor()),
      socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      peer_(peer),
      loop_index_(loop_index) {}

void Connection::Start() {
  serving_.connections_by_loop[loop_index_].insert(this);
  boost::system::error_code ignored;
  socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  head_since_ = last_io_ = Clock::now();
  NextRequest();
}

void Connection::TellModuleDone(const std::weak_ptr<Connection>& connection, std::shared_ptr<HostRequest> request) {
  auto self = connection.lock();
  if (!self) return;
  auto executor = self->executor_;
  const auto done = [](void* on, void* done_request) {
    static_cast<Connection*>(on)->OnModuleDone(static_cast<HostRequest*>(done_request)->shared_from_this());
  };
  if (EventLoops::InCallOn(asio::query(executor, asio::execution::context))) {
    EventLoops::AfterCall(done, std::move(self), std::move(request));
    return;
  }
  asio::post(executor, [self = std::move(self), request = std::move(request)] { self->OnModuleDone(request); });
}

void Connection::Read() {
  if (reading_ || peer_done_ || state_ == State::kClosed) return;
  if (state_ != State::kHead && state_ != State::kBody && state_ != State::kLingering &&
      buffer_.size() >= kMaxBufferedAhead) {
    return;
  }
  if (state_ == State::kLingering) buffer_.clear();
  reading_ = true;
  socket_.async_read_some(buffer_.prepare(kReadSize),
                          asio::bind_allocator(HandlerAllocator<void>(read_memory_),
                                               [self = shared_from_this()](const boost::system::error_code& error,
                                                                           std::size_t bytes) { self->OnRead(error, bytes); }));
}

void Connection::OnRead(const boost::system::error_code& error, std::size_t bytes) {
  reading_ = false;
  if (state_ == State::kClosed) return;
  last_io_ = Clock::now();
  if (error) {
    // The end of the stream, or a reset: either way nothing more comes.
    peer_done_ = true;
    if (error != asio::error::eof) {
      if (state_ == State::kModule) ForceAnswer(499);
      Close();
      return;
    }
  } else {
    buffer_.commit(bytes);
  }
  Process();
}

void Connection::Process() {
  switch (state_) {
    case State::kHead:
    case State::kBody:
      Parse();
      return;
    case State::kModule:
      // An end of stream is a client that half-closed as much as one that
      // left: the two cannot be told apart until the answer is written. So
      // the request stays (its pending timeout bounds it), and only a reset
      // says that the client is gone.
      if (peer_done_) {
        WatchForReset();
        return;
      }
      Read();
      return;
    case State::kLingering:
      if (peer_done_) {
        Close();
      } else {
        Read();
      }
      return;
    case State::kWriting:
    case State::kClosed:
      return;
  }
}

void Connection::WatchForReset() {
  if (watching_reset_) return;
  watching_reset_ = true;
  // After the end of stream the socket stays readable; only an error or a
  // hang-up wakes this wait.
  socket_.async_wait(asio::socket_base::wait_error, [self = shared_from_this()](const boost::system::error_code& error) {
    self->watching_reset_ = false;
    if (error || self->state_ != State::kModule) return;
    pollfd events{self->socket_.native_handle(), 0, 0};
    if (::poll(&events, 1, 0) == 1 && (events.revents & (POLLERR | POLLHUP)) != 0) {
      self->ForceAnswer(499);
      self->Close();
    }
    // Anything else (urgent data) leaves the answer's write to tell.
  });
}

void Connection::NextRequest() {
  state_ = State::kHead;
  parser_.emplace(serving_.options.max_header_bytes, serving_.options.max_body_bytes);
  static_request_ = false;
  wrong_path_ = false;
  head_request_ = false;
  keep_alive_ = true;
  head_since_ = Clock::now();
  if (busy_counted_) {
    busy_counted_ = false;
    serving_.busy.Add(-1);
  }
  ArmTimer();
  Parse();
}

void Connection::Parse() {
  while (state_ == State::kHead || state_ == State::kBody) {
    const auto data = buffer_.data();
    const std::size_t used = parser_->Feed(std::string_view(static_cast<const char*>(data.data()), data.size()));
    buffer_.consume(used);
    if (parser_->error_status() != 0) {
      Refuse(parser_->error_status(), true);
      return;
    }
    if (state_ == State::kHead && parser_->is_header_done()) {
      state_ = State::kBody;
      if (!JudgeHead()) return;
      continue;
    }
    if (parser_->is_done()) {
      Dispatch();
      return;
    }
    if (peer_done_) {
      // The client sent all it will, and it is not a whole request.
      Close();
      return;
    }
    if (used == 0 || buffer_.size() == 0) {
      Read();
      return;
    }
  }
}

bool Connection::JudgeHead() {
  const auto& options = serving_.options;
  if (!busy_counted_) {
    busy_counted_ = true;
    serving_.busy.Add(1);
  }
  request_ = std::make_shared<HostRequest>(options.access_log, std::move(parser_->method), std::move(parser_->target));
  HostRequest& request = *request_;
  head_request_ = request.method == "HEAD";
  // Answers are HTTP/1.1 and say only "Connection: close": an HTTP/1.0
  // client that asked to keep the connection would not be told it was kept.
  keep_alive_ = parser_->keep_alive() && parser_->version != 10;
  CollectServerVariables(parser_->fields, peer_, serving_.server, options.trusted_proxies, request);
  // The body is not in yet: refusals before it log what the query names.
  if (options.access_log) {
    request.logged_target = LoggedTarget(request.path, RequestName(request.query), request.raw_uri,
                                         options.access_log_values);
  }
  // First of all: any answer that kept the connection would leave the rest of
  // a doubtful request to be read as the next one.
  if (!HasSoundFraming(parser_->fields, parser_->version)) {
    Refuse(400, true);
    return false;
  }
  // A refusal before the body leaves the body unread: the connection closes.
  const bool closing = serving_.shutting_down.load(std::memory_order_relaxed) || !parser_->is_done();
  if (request.path.starts_with(serving_.static_prefix)) {
    if (request.method != "GET" && request.method != "HEAD") {
      Refuse(405, closing, "GET, HEAD");
      return false;
    }
    static_request_ = true;
    static_file_ = request.path.substr(serving_.static_prefix.size());
  } else if (request.path != serving_.module_target) {
    if ((request.method != "GET" && request.method != "HEAD") || closing) {
      Refuse(404, closing);
      return false;
    }
    // A visitor who mistyped an address gets the site's page with a way to
    // the start page, where the static folder has one. (Anything with a body
    // to come, or during the stop, keeps the plain refusal.)
    static_request_ = wrong_path_ = true;
    static_file_ = kNotFoundPage;
  } else if (request.method != "GET" && request.method != "HEAD" && request.method != "POST") {
    Refuse(405, closing, "GET, HEAD, POST");
    return false;
  }
  if (serving_.shutting_down.load(std::memory_order_relaxed)) {
    Refuse(503, true);
    return false;
  }
  if (const auto length = parser_->content_length(); length && *length > options.max_body_bytes) {
    Refuse(413, true);
    return false;
  }
  if (!parser_->is_done() && parser_->version >= 11) {
    if (const std::string* expect = FindField(parser_->fields, "Expect");
        expect != nullptr && text::EqualsIgnoringCase(*expect, "100-continue")) {
      // A client that waits for leave to send its body; the answer is tiny
      // and goes before anything else is written on this connection.
      static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      boost::system::error_code ignored;
      socket_.send(asio::buffer(kContinue, sizeof kContinue - 1), 0, ignored);
    }
  }
  return true;
}

void Connection::Dispatch() {
  request_->body = std::move(parser_->body);
  if (static_request_) {
    ServeStatic();
  } else {
    request_->fields = std::move(parser_->fields);  // for the server variables
    RunModule();
  }
}

void Connection::ServeStatic() {
  const auto& fields = parser_->fields;
  // The not-found page is never revalidated: its answer is a 404.
  StaticFile file = wrong_path_ ? LookUpStaticFile(serving_.static_folder, static_file_, nullptr, nullptr)
                                : LookUpStaticFile(serving_.static_folder, static_file_,
                                                   FindField(fields, "If-None-Match"), FindField(fields, "If-Modified-Since"));
  const HostRequest& request = *request_;
  const bool close = Closing();
  const unsigned status = wrong_path_ ? 404 : file.status;
  // A wrong path's query is a visitor's as much as any other.
  const std::size_t bytes = file.status == 200 && !head_request_ ? file.size : 0;
  // Just before the write: a file that cannot be sent is noted as its refusal.
  const auto note = [&] {
    NoteAnswerAsWritten(status, wrong_path_ ? request.logged_target : request.raw_uri, bytes, bytes);
  };
  if (file.status == 404 || file.status == 503) {
    note();
    Write(StatusPage(status, close, nullptr, head_request_), close);
    return;
  }
  const auto headers = [&](auto& response) {
    SetStatus(response, status);
    if (!wrong_path_) {
      response.set(http::field::etag, file.etag);
      response.set(http::field::last_modified, file.last_modified);
    }
    response.set(http::field::cache_control, kStaticCacheControl);
    response.set("X-Content-Type-Options", "nosniff");
  };
  if (file.status == 200 && !head_request_ && file.size <= kStaticBytesReadAtOnce) {
    StringResponse response;
    headers(response);
    response.set(http::field::content_type, file.content_type);
    if (!ReadWholeStaticFile(file.fd, file.size, response.body())) {
      Refuse(500, true);
      return;
    }
    response.content_length(file.size);
    note();
    Write(std::move(response), close);
    return;
  }
  if (file.status == 200 && !head_request_) {
    FileResponse response;
    headers(response);
    response.set(http::field::content_type, file.content_type);
    boost::beast::file_posix owned;
    owned.native_handle(file.fd);
    boost::system::error_code error;
    response.body().reset(std::move(owned), error);
    if (!error) {
      response.content_length(file.size);
      note();
      WriteFile(std::move(response), close);
      return;
    }
    Refuse(500, true);
    return;
  }
  StringResponse response;
  headers(response);
  if (file.status == 200) {  // HEAD: the length of the body left out
    response.set(http::field::content_type, file.content_type);
    response.content_length(file.size);
    ::close(file.fd);
  }
  note();
  Write(std::move(response), close);
}

bool Connection::MayAskForHeartbeat() const {
  const auto& allowed = serving_.options.heartbeat_from;
  if (allowed.empty()) return true;
  const HostRequest& request = *request_;
  in_addr client{};
  if (inet_pton(AF_INET, request.remote_address.c_str(), &client) == 1 &&
      std::find(allowed.begin(), allowed.end(), client.s_addr) != allowed.end()) {
    return true;
  }
  // The module may read the name from either text, as the method and a
  // blank body decide: both are looked at.
  return !MayNameHeartbeat(request.query) && !MayNameHeartbeat(request.body);
}

void Connection::RunModule() {
  HostRequest& request = *request_;
  const auto parameters = ModuleParameters(request.method, request.query, request.body);
  request.operation = OperationOf(parameters);
  if (serving_.options.access_log) {
    request.logged_target = LoggedTarget(request.path, RequestName(parameters), request.raw_uri,
                                         serving_.options.access_log_values);
  }
  if (!MayAskForHeartbeat()) {
    Refuse(403, !keep_alive_);
    return;
  }
  state_ = State::kModule;
  // The pending timeout counts from here: a call that blocks as well as a
  // pending request.
  handed_over_ = Clock::now();
  ArmTimer();
  if (call_in_module_) {
    // The previous request's call has not returned (it was answered without
    // the module): this one waits for it.
    call_waits_ = true;
    Process();
    return;
  }
  // Watched from before the call: one that blocks has its loop handed on, and
  // the loop's next thread then sees a client that resets meanwhile.
  Read();
  CallModule();
}

void Connection::CallModule() {
  std::shared_ptr<HostRequest> request = request_;
  QX_EXTENSION_CONTROL_BLOCK* ecb = request->PrepareControlBlock(weak_from_this(), executor_, serving_.options.loop_service);
  call_in_module_ = true;
  const EventLoops::Call call = EventLoops::BeginCall();
  const std::uint32_t status = serving_.module.HttpExtensionProc(ecb);
  request->ModuleReturned(status);
  if (!EventLoops::EndCall(call)) {
    // Another thread runs the loop now, and may be running this
    // connection's handlers: nothing of it is touched here any more.
    asio::post(executor_, [self = shared_from_this(), request = std::move(request)] { self->CallReturned(request); });
    return;
  }
  CallReturned(request);
}

void Connection::CallReturned(const std::shared_ptr<HostRequest>& request) {
  call_in_module_ = false;
  if (state_ == State::kClosed) return;
  if (request != request_) {
    // Answered without the module meanwhile; the next request may go in now.
    if (call_waits_ && state_ == State::kModule) {
      call_waits_ = false;
      CallModule();
    }
    return;
  }
  if (state_ != State::kModule) return;  // answered meanwhile
  switch (request_->Decide()) {
    case HostRequest::Next::kAnswer:
      AnswerFromModule();
      return;
    case HostRequest::Next::kWait:
      Hold();
      Process();  // so that a client that leaves is noticed
      return;
    case HostRequest::Next::kNothing:
      return;
  }
}

void Connection::OnModuleDone(const std::shared_ptr<HostRequest>& request) {
  if (request != request_ || state_ != State::kModule || call_waits_) return;
  if (request_->Decide() == HostRequest::Next::kAnswer) AnswerFromModule();
}

void Connection::AnswerFromModule() {
  Unhold();
  HostRequest& request = *request_;
  HostRequest::Answer answer = request.TakeAnswer();
  auto& metrics = HostRequestMetrics();
  metrics.RecordDuration(request.operation, Nanoseconds(Clock::now() - handed_over_));
  if (answer.status == 204 || answer.status == 304) answer.body.clear();
  const std::size_t length = answer.body.size();
  const bool close = Closing();
  answer_head_.clear();
  AppendAnswerHead(answer_head_, answer.status, answer.header_text, length != 0, length, close);
  answer_body_ = head_request_ ? std::string() : std::move(answer.body);
  const std::size_t sent = answer_body_.size();
  NoteAnswerAsWritten(answer.status, request.logged_target, sent, answer_head_.size() + sent, answer.log_note);
  StartWrite(close);
  asio::async_write(socket_, std::array<asio::const_buffer, 2>{asio::buffer(answer_head_), asio::buffer(answer_body_)},
                    asio::bind_allocator(HandlerAllocator<void>(write_memory_),
                                         [self = shared_from_this()](const boost::system::error_code& error,
                                                                     std::size_t) { self->OnWritten(error); }));
}

void Connection::ForceAnswer(unsigned status) {
  if (!request_ || !request_->Force()) return;
  Unhold();
  HostRequest& request = *request_;
  auto& metrics = HostRequestMetrics();
  metrics.RecordDuration(request.operation, Nanoseconds(Clock::now() - handed_over_));
  if (status == 504) metrics.RecordWatchdogTimeout();
  // Logged like any answer: a timeout or a client that left is what an
  // operator looks for first.
  NoteAnswer(status, request.logged_target, 0);
  if (status == 499) return;  // the caller closes
  const bool close = Closing();
  call_waits_ = false;
  Write(StatusPage(status, close, nullptr, head_request_), close);
}

void Connection::Refuse(unsigned status, bool close, const char* allow) {
  NoteAnswer(status, request_ ? std::string_view(request_->logged_target) : std::string_view(), 0);
  Write(StatusPage(status, close, allow, head_request_ && request_), close || !keep_alive_);
}

void Connection::NoteAnswerAsWritten(unsigned status, std::string_view target, std::size_t bytes,
                                     std::size_t whole_bytes, std::string_view note) {
  // A client that ended its stream may be waiting for the answer (a
  // half-close) or gone, and one that leaves while a long answer goes out is
  // gone: whether such an answer went out decides what is noted. A short one
  // is noted as it is handed over, before the client can ask anything else.
  if (peer_done_ || whole_bytes > kNotedAtOnceBytes) {
    unwritten_note_.emplace(UnwrittenNote{status, std::string(target), bytes, std::string(note)});
  } else {
    NoteAnswer(status, target, bytes, note);
  }
}

void Connection::NoteAnswer(unsigned status, std::string_view target, std::size_t bytes, std::string_view note) {
  HostRequestMetrics().RecordAnswer(request_ ? request_->operation : kOtherOperation, status);
  // A head too bad to name a request has no line: nothing in it is worth one.
  if (request_ && serving_.options.access_log) {
    WriteAccessLogLine(request_->remote_address, request_->method, target, status, bytes, note);
  }
}

bool Connection::Closing() const {
  // A client that ended its stream after the requests it sent gets their
  // answers; the last one closes.
  return !keep_alive_ || (peer_done_ && buffer_.size() == 0) ||
         serving_.shutting_down.load(std::memory_order_relaxed);
}

void Connection::Write(StringResponse response, bool close) {
  response.keep_alive(!close);
  Send(response_.emplace(std::move(response)), close);
}

void Connection::WriteFile(FileResponse response, bool close) {
  response.keep_alive(!close);
  Send(file_response_.emplace(std::move(response)), close);
}

void Connection::StartWrite(bool close) {
  state_ = State::kWriting;
  close_after_write_ = close;
  last_io_ = Clock::now();
  ArmTimer();
}

template <typename Message>
void Connection::Send(Message& message, bool close) {
  StartWrite(close);
  http::async_write(socket_, message,
                    [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                      self->OnWritten(error);
                    });
}

void Connection::OnWritten(const boost::system::error_code& error) {
  response_.reset();
  file_response_.reset();
  answer_body_.clear();
  if (unwritten_note_) {
    // An answer the client could not take is one it left before.
    NoteAnswer(error ? 499 : unwritten_note_->status, unwritten_note_->target, error ? 0 : unwritten_note_->bytes,
               unwritten_note_->note);
    unwritten_note_.reset();
  }
  if (state_ == State::kClosed) return;
  if (error) {
    Close();
    return;
  }
  last_io_ = Clock::now();
  if (close_after_write_) {
    if (peer_done_) {
      Close();
    } else {
      Linger();
    }
    return;
  }
  request_.reset();
  NextRequest();
}

void Connection::Hold() {
  if (held_) return;
  held_ = true;
  serving_.held.fetch_add(1, std::memory_order_relaxed);
}

void Connection::Unhold() {
  if (!held_) return;
  held_ = false;
  serving_.held.fetch_sub(1, std::memory_order_relaxed);
}

void Connection::Stop() {
  switch (state_) {
    case State::kModule:
      ForceAnswer(503);  // with the close, as the host is stopping
      if (state_ == State::kModule) Close();
      return;
    case State::kWriting:
      close_after_write_ = true;
      return;
    case State::kHead:
    case State::kBody:
    case State::kLingering:
      Close();
      return;
    case State::kClosed:
      return;
  }
}

void Connection::Linger() {
  state_ = State::kLingering;
  boost::system::error_code ignored;
  socket_.shutdown(asio::socket_base::shutdown_send, ignored);
  linger_until_ = Clock::now() + kLinger;
  ArmTimer();
  Read();
}

void Connection::Close() {
  if (state_ == State::kClosed) return;
  state_ = State::kClosed;
  Unhold();
  if (busy_counted_) {
    busy_counted_ = false;
    serving_.busy.Add(-1);
  }
  boost::system::error_code ignored;
  timer_.cancel();
  socket_.shutdown(asio::socket_base::shutdown_both, ignored);
  socket_.close(ignored);
  serving_.connections_by_loop[loop_index_].erase(this);
  serving_.connections.Release(peer_.address);
}

Connection::Clock::time_point Connection::Deadline() const {
  const auto& options = serving_.options;
  const auto idle = std::chrono::seconds(options.idle_timeout_s);
  switch (state_) {
    case State::kHead:
      return std::min(head_since_ + std::chrono::seconds(options.head_timeout_s), last_io_ + idle);
    case State::kModule:
      return handed_over_ + std::chrono::seconds(options.pending_timeout_s);
    case State::kLingering:
      return linger_until_;
    case State::kBody:
    case State::kWriting:
    case State::kClosed:
      break;
  }
  return last_io_ + idle;
}

void Connection::ArmTimer() {
  const auto deadline = Deadline();
  // A timer that fires first finds the later deadline and waits again: a
  // deadline that moves on costs nothing until then.
  if (timer_armed_ && timer_expiry_ <= deadline) return;
  timer_armed_ = true;
  timer_expiry_ = deadline;
  timer_.expires_at(deadline);
  timer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) { self->OnTimer(error); });
}

void Connection::OnTimer(const boost::system::error_code& error) {
  if (error == asio::error::operation_aborted || state_ == State::kClosed) return;
  timer_armed_ = false;
  if (Clock::now() < Deadline()) {
    ArmTimer();
    return;
  }
  switch (state_) {
    case State::kModule:
      ForceAnswer(504);
      if (state_ == State::kModule) ArmTimer();  // still waiting for an earlier call; its own clock runs
      return;
    default:
      // A head that does not come, a client idle or not reading: closed
      // without an answer.
      Close();
      return;
  }
}

}  // namespace host
