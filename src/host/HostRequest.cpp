#include "host/HostRequest.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <utility>

#include "host/Connection.h"
#include "host/EventLoops.h"
#include "host/Operations.h"
#include "host/ShardedCount.h"

namespace host {
namespace {

// Output a module may produce for one request; more is refused.
constexpr std::size_t kMaxOutput = 64u << 20;
// How long a request's memory outlives the module's done-with-session, for
// module threads that touch it once more on their way out.
constexpr auto kRetireGrace = std::chrono::seconds(2);

HostRequest& Self(QX_HCONN conn) { return *static_cast<HostRequest*>(conn); }

bool EndsWithBlankLine(const std::string& text) {
  return text.ends_with("\r\n\r\n") || text.ends_with("\n\n");
}

ShardedCount& InModule() {
  static auto* count = new ShardedCount;  // never destroyed: module threads may count after exit begins
  return *count;
}

// Requests the module said it is done with, kept for the grace; each new one
// lets go of up to two past it, which keeps up with any pace and after a
// burst catches up.
void Retire(std::shared_ptr<HostRequest> request) {
  using Clock = std::chrono::steady_clock;
  static std::mutex mutex;
  static auto* retired = new std::deque<std::pair<Clock::time_point, std::shared_ptr<HostRequest>>>;
  std::array<std::shared_ptr<HostRequest>, 2> expired;  // released after the lock
  std::lock_guard lock(mutex);
  const auto now = Clock::now();
  for (auto& slot : expired) {
    if (retired->empty() || now - retired->front().first <= kRetireGrace) break;
    slot = std::move(retired->front().second);
    retired->pop_front();
  }
  retired->emplace_back(now, std::move(request));
}

}  // namespace

std::int64_t ModuleRequestsInProgress() { return InModule().Sum(); }

HostRequest::HostRequest(bool access_log, std::string method_text, std::string uri)
    : method(std::move(method_text)), raw_uri(std::move(uri)), operation(kOtherOperation), access_log_(access_log) {
  const auto question = raw_uri.find('?');
  path = raw_uri.substr(0, question);
  if (question != std::string::npos) query = raw_uri.substr(question + 1);
  if (access_log_) logged_target = path;
}

const char* HostRequest::ModuleMethod() const { return method == "HEAD" ? "GET" : method.c_str(); }

QX_EXTENSION_CONTROL_BLOCK* HostRequest::PrepareControlBlock(std::weak_ptr<Connection> connection,
                                                             const boost::asio::any_io_executor& loop,
                                                             bool offer_loop) {
  connection_ = std::move(connection);
  if (offer_loop) loop_wait_ = std::make_shared<LoopWait>(loop);
  ecb_.cbSize = sizeof ecb_;
  ecb_.dwVersion = QX_MAKE_VERSION(6, 0);
  ecb_.ConnID = this;
  ecb_.dwHttpStatusCode = 200;
  ecb_.lpszMethod = ModuleMethod();
  ecb_.lpszQueryString = query.c_str();
  ecb_.lpszPathInfo = path.c_str();
  const std::string* content_type = FindField(fields, "Content-Type");
  ecb_.lpszContentType = content_type != nullptr ? content_type->c_str() : "";
  ecb_.cbTotalBytes = static_cast<uint32_t>(body.size());
  ecb_.cbAvailable = ecb_.cbTotalBytes;
  ecb_.lpbData = reinterpret_cast<const unsigned char*>(body.data());
  ecb_.GetServerVariable = &GetServerVariable;
  ecb_.WriteClient = &WriteClient;
  ecb_.ReadClient = &ReadClient;
  ecb_.ServerSupportFunction = &ServerSupportFunction;
  InModule().Add(1);
  std::lock_guard lock(mutex_);
  // The module may finish on another thread before HttpExtensionProc returns.
  module_hold_ = shared_from_this();
  return &ecb_;
}

std::shared_ptr<HostRequest> HostRequest::ReleaseLocked() {
  if (module_hold_) InModule().Add(-1);
  return std::move(module_hold_);
}

void HostRequest::ModuleReturned(std::uint32_t status) {
  std::shared_ptr<HostRequest> release;  // after the lock
  std::lock_guard lock(mutex_);
  returned_ = true;
  module_status_ = status;
  if (status != QX_STATUS_PENDING || module_done_) frozen_ = true;
  if (status != QX_STATUS_PENDING) release = ReleaseLocked();
}

HostRequest::Next HostRequest::Decide() {
  std::lock_guard lock(mutex_);
  if (decided_) return Next::kNothing;
  if (!returned_ || (module_status_ == QX_STATUS_PENDING && !module_done_)) return Next::kWait;
  decided_ = true;
  return Next::kAnswer;
}

bool HostRequest::Force() {
  {
    std::lock_guard lock(mutex_);
    if (decided_) return false;
    decided_ = true;
    frozen_ = true;
  }
  if (loop_wait_) loop_wait_->Abandon();
  return true;
}

void HostRequest::DoneWithSession() {
  std::shared_ptr<HostRequest> hold;
  bool tell = false;
  {
    std::lock_guard lock(mutex_);
    if (module_done_) return;  // a second done changes nothing
    module_done_ = true;
    frozen_ = true;
    hold = ReleaseLocked();
    // The record may outlive the request for a grace time (done said on a
    // module's thread); only what a late call from the module could touch
    // stays.
    HeaderFields().swap(fields);
    std::string().swap(body);
    ecb_.lpszContentType = "";
    ecb_.lpbData = nullptr;
    ecb_.cbAvailable = 0;
    ecb_.cbTotalBytes = 0;
    // Done inside the call is seen when the call returns.
    tell = returned_ && !decided_;
  }
  if (loop_wait_) loop_wait_->Close();
  if (tell) Connection::TellModuleDone(connection_, shared_from_this());
  if (!hold) return;
  // Done inside a call on the request's loop: the module is through with the
  // request once that call returns, and the memory goes then, warm, on the
  // loop that used it. Done from a thread of the module's: that thread may
  // touch the request once more on its way out.
  if (loop_wait_ && EventLoops::InCallOn(loop_wait_->Context())) {
    EventLoops::AfterCall([](void*, void*) {}, std::move(hold));
    return;
  }
  Retire(std::move(hold));
}

HostRequest::Answer HostRequest::TakeAnswer() {
  Answer answer;
  std::lock_guard lock(mutex_);
  frozen_ = true;
  unsigned status = headers_sent_ ? ParseStatusLine(status_line_, ecb_.dwHttpStatusCode) : ecb_.dwHttpStatusCode;
  if (status < 100 || status > 999) status = 500;
  if (module_status_ == QX_STATUS_ERROR && status == 200 && output_.empty()) status = 500;
  answer.status = status;
  answer.body = std::move(output_);
  answer.header_text = std::move(header_text_);
  // The module's text goes into a log line: only what cannot forge one.
  const char* note = ecb_.lpszLogData;
  for (std::size_t i = 0; i < sizeof ecb_.lpszLogData && std::isalnum(static_cast<unsigned char>(note[i])); ++i) {
    answer.log_note.push_back(note[i]);
  }
  return answer;
}

int HostRequest::GetServerVariable(QX_HCONN conn, const char* name, void* buffer, uint32_t* size) {
  if (conn == nullptr || name == nullptr || size == nullptr) {
    errno = QX_ERROR_INVALID_PARAMETER;
    return 0;
  }
  auto& self = Self(conn);
  std::lock_guard lock(self.mutex_);
  if (self.module_done_) {
    errno = QX_ERROR_INVALID_PARAMETER;  // the request is over
    return 0;
  }
  std::array<char, 8> digits;
  const auto value = ServerVariable(self, name, digits);
  if (!value) {
    errno = QX_ERROR_INVALID_INDEX;
    return 0;
  }
  const auto needed = static_cast<uint32_t>(value->size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    errno = QX_ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(buffer, value->data(), value->size());
  static_cast<char*>(buffer)[value->size()] = '\0';
  *size = needed;
  return 1;
}

int HostRequest::WriteClient(QX_HCONN conn, const void* buffer, uint32_t* bytes, uint32_t) {
  if (conn == nullptr || bytes == nullptr || (buffer == nullptr && *bytes > 0)) {
    errno = QX_ERROR_INVALID_PARAMETER;
    return 0;
  }
  auto& self = Self(conn);
  std::lock_guard lock(self.mutex_);
  if (self.frozen_ || self.output_.size() + *bytes > kMaxOutput) {
    errno = QX_ERROR_CONNECTION_RESET;
    return 0;
  }
  std::string_view data(static_cast<const char*>(buffer), *bytes);
  if (self.expect_header_end_) {
    // The module ends its header block with a line of its own.
    self.expect_header_end_ = false;
    if (data.starts_with("\r\n")) data.remove_prefix(2);
  }
  self.output_.append(data);
  return 1;
}

int HostRequest::ReadClient(QX_HCONN, void*, uint32_t* size) {
  // The whole body is handed over with the control block.
  if (size != nullptr) *size = 0;
  return 1;
}

int HostRequest::ServerSupportFunction(QX_HCONN conn, uint32_t request, void* buffer, uint32_t*,
                                       void* data) {
  if (conn == nullptr) {
    errno = QX_ERROR_INVALID_PARAMETER;
    return 0;
  }
  auto& self = Self(conn);
  switch (request) {
    case QX_REQ_SEND_RESPONSE_HEADER: {
      std::lock_guard lock(self.mutex_);
      if (self.frozen_ || self.headers_sent_) {
        errno = QX_ERROR_CONNECTION_RESET;
        return 0;
      }
      self.headers_sent_ = true;
      self.status_line_ = buffer != nullptr ? static_cast<const char*>(buffer) : "200 OK";
      self.header_text_ = data != nullptr ? static_cast<const char*>(data) : "";
      self.expect_header_end_ = !EndsWithBlankLine(self.header_text_);
      return 1;
    }
    case QX_REQ_DONE_WITH_SESSION:
      self.DoneWithSession();
      return 1;
    case QX_REQ_GET_EVENT_LOOP: {
      auto* service = static_cast<QX_EVENT_LOOP_SERVICE*>(buffer);
      if (!self.loop_wait_ || service == nullptr || service->cbSize < sizeof(QX_EVENT_LOOP_SERVICE)) {
        errno = QX_ERROR_INVALID_PARAMETER;
        return 0;
      }
      service->Wait = &LoopWaitFor;
      service->Cancel = &LoopCancel;
      return 1;
    }
    default:
      errno = QX_ERROR_INVALID_PARAMETER;
      return 0;
  }
}

int HostRequest::LoopWaitFor(QX_HCONN conn, int32_t fd, uint32_t events, int64_t deadline_ns,
                             QX_LOOP_CALLBACK callback, void* context) {
  if (conn == nullptr || !Self(conn).loop_wait_ ||
      !Self(conn).loop_wait_->Arm(fd, events, deadline_ns, callback, context)) {
    errno = QX_ERROR_INVALID_PARAMETER;
    return 0;
  }
  return 1;
}

int HostRequest::LoopCancel(QX_HCONN conn) {
  if (conn == nullptr || !Self(conn).loop_wait_) {
    errno = QX_ERROR_INVALID_PARAMETER;
    return 0;
  }
  Self(conn).loop_wait_->Cancel();
  return 1;
}

}  // namespace host
