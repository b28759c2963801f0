#include "host/HostRequest.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "host/AccessLog.h"
#include "host/Operations.h"
#include "host/PendingRequests.h"
#include "host/RequestMetrics.h"
#include "host/ResponseHeaders.h"
#include "host/StatusPages.h"
#include "platform/Text.h"

namespace host {
namespace {

// Output a module may produce for one request; more is refused.
constexpr std::size_t kMaxOutput = 64u << 20;

HostRequest& Self(QX_HCONN conn) { return *static_cast<HostRequest*>(conn); }

bool EndsWithBlankLine(const std::string& text) {
  return text.ends_with("\r\n\r\n") || text.ends_with("\n\n");
}

}  // namespace

HostRequest::HostRequest(PendingRequests& registry, bool access_log, std::string uri)
    : raw_uri(std::move(uri)), operation(kOtherOperation), registry_(registry), access_log_(access_log) {
  const auto question = raw_uri.find('?');
  path = raw_uri.substr(0, question);
  if (question != std::string::npos) query = raw_uri.substr(question + 1);
  if (access_log_) logged_target = path;
}

const char* HostRequest::ModuleMethod() const {
  return method == MHD_HTTP_METHOD_HEAD ? MHD_HTTP_METHOD_GET : method.c_str();
}

void HostRequest::Queue() {
  std::lock_guard lock(mutex_);
  phase_ = Phase::kQueued;
  // Set before the registry may hold the request: its watchdog reads it
  // without this lock.
  pending_since_ = std::chrono::steady_clock::now();
}

HostRequest::Wait HostRequest::AwaitModule(MHD_Connection* connection, std::chrono::microseconds limit) {
  std::unique_lock lock(mutex_);
  const auto answered = [this] {
    return phase_ == Phase::kReturned && (module_status_ != QX_STATUS_PENDING || module_done_);
  };
  // A pending request whose worker finishes within the limit is answered
  // here too: suspending and resuming the connection costs more than a poll.
  if (returned_.wait_for(lock, limit, answered)) return Wait::kAnswerNow;
  const bool pending = phase_ == Phase::kReturned;
  if (const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
    fd_ = info->connect_fd;
  }
  if (!registry_.Hold(shared_from_this())) {
    // The server is closing and no connection may stay suspended; a module
    // call still under way finishes unheard.
    phase_ = Phase::kAnswered;
    frozen_ = true;
    forced_status_ = 503;
    return Wait::kAnswerNow;
  }
  if (pending) phase_ = Phase::kSuspended;
  suspended_ = true;
  connection_ = connection;
  // Suspended under the lock, so that nobody resumes a connection that is
  // not suspended yet.
  MHD_suspend_connection(connection);
  return Wait::kSuspended;
}

QX_EXTENSION_CONTROL_BLOCK* HostRequest::PrepareControlBlock() {
  ecb_.cbSize = sizeof ecb_;
  ecb_.dwVersion = QX_MAKE_VERSION(6, 0);
  ecb_.ConnID = this;
  ecb_.dwHttpStatusCode = 200;
  ecb_.lpszMethod = ModuleMethod();
  ecb_.lpszQueryString = query.c_str();
  ecb_.lpszPathInfo = path.c_str();
  ecb_.lpszContentType = "";
  for (const auto& [name, value] : variables) {
    if (name == "CONTENT_TYPE") ecb_.lpszContentType = value.c_str();
  }
  ecb_.cbTotalBytes = static_cast<uint32_t>(body.size());
  ecb_.cbAvailable = ecb_.cbTotalBytes;
  ecb_.lpbData = reinterpret_cast<const unsigned char*>(body.data());
  ecb_.GetServerVariable = &GetServerVariable;
  ecb_.WriteClient = &WriteClient;
  ecb_.ReadClient = &ReadClient;
  ecb_.ServerSupportFunction = &ServerSupportFunction;
  std::lock_guard lock(mutex_);
  if (phase_ != Phase::kQueued) return nullptr;
  phase_ = Phase::kInModule;
  // The module may finish on another thread before HttpExtensionProc returns.
  module_hold_ = shared_from_this();
  registry_.ModuleTook(this);
  return &ecb_;
}

void HostRequest::ModuleReturned(std::uint32_t status) {
  std::shared_ptr<HostRequest> release;  // after the lock
  std::lock_guard lock(mutex_);
  module_status_ = status;
  const bool pending = status == QX_STATUS_PENDING && !module_done_;
  if (!pending) {
    frozen_ = true;
    if (status != QX_STATUS_PENDING && module_hold_) {
      release = std::move(module_hold_);
      registry_.ModuleReleased(this);
    }
  }
  if (phase_ != Phase::kInModule) return;  // answered meanwhile
  if (!suspended_) {
    phase_ = Phase::kReturned;
    // The library's thread waits for an answer; a pending return is none yet,
    // and waking it for nothing costs a context switch per poll.
    if (!pending) returned_.notify_one();
  } else if (pending) {
    phase_ = Phase::kSuspended;
  } else {
    phase_ = Phase::kResuming;
    ResumeLocked();
  }
}

bool HostRequest::ForceAnswer(unsigned status, bool close_connection) {
  std::lock_guard lock(mutex_);
  if (!suspended_ || (phase_ != Phase::kQueued && phase_ != Phase::kInModule && phase_ != Phase::kSuspended)) {
    return false;
  }
  phase_ = Phase::kResuming;
  frozen_ = true;
  forced_status_ = status;
  close_connection_ = close_connection;
  ResumeLocked();
  return true;
}

// Under the lock: whoever finds a request past kSuspended knows the library
// has been told, so that shutdown never stops the library while it still
// counts a connection as suspended.
void HostRequest::ResumeLocked() { MHD_resume_connection(connection_); }

void HostRequest::DoneWithSession() {
  std::shared_ptr<HostRequest> hold;
  {
    std::lock_guard lock(mutex_);
    if (module_done_) return;  // a second done changes nothing
    module_done_ = true;
    frozen_ = true;
    hold = std::move(module_hold_);
    // The record outlives the request for a grace time; only what a late
    // call from the module could touch stays.
    std::vector<std::pair<std::string, std::string>>().swap(variables);
    std::string().swap(body);
    ecb_.lpszContentType = "";
    ecb_.lpbData = nullptr;
    ecb_.cbAvailable = 0;
    ecb_.cbTotalBytes = 0;
    if (phase_ == Phase::kReturned) returned_.notify_one();  // the library's thread may still wait
    if (phase_ == Phase::kSuspended) {
      phase_ = Phase::kResuming;
      ResumeLocked();
    }
  }
  if (hold) registry_.Retire(std::move(hold));
}

MHD_Result HostRequest::QueueAnswer(MHD_Connection* connection) {
  unsigned status = 0;
  std::string output;
  std::vector<HeaderLine> headers;
  unsigned forced = 0;
  bool close_connection = false;
  unsigned logged = 0;  // what the metrics and the access log say of a forced answer
  {
    std::lock_guard lock(mutex_);
    phase_ = Phase::kAnswered;
    connection_ = nullptr;
    auto& metrics = HostRequestMetrics();
    metrics.RecordDuration(operation, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now() - pending_since_).count());
    forced = forced_status_;
    close_connection = close_connection_;
    if (forced != 0) {
      logged = close_connection ? 499 : forced;
      metrics.RecordAnswer(operation, logged);
      if (forced == 504) metrics.RecordWatchdogTimeout();  // only the watchdog forces it
    } else {
      status = headers_sent_ ? ParseStatusLine(status_line_, ecb_.dwHttpStatusCode) : ecb_.dwHttpStatusCode;
      if (status < 100 || status > 999) status = 500;
      if (module_status_ == QX_STATUS_ERROR && status == 200 && output_.empty()) status = 500;
      output = std::move(output_);
      headers = ParseModuleHeaders(header_text_);
    }
  }
  if (forced != 0) {
    // Logged like any answer: a timeout or a client that left is what an
    // operator looks for first.
    if (access_log_) WriteAccessLogLine(remote_address, method, logged_target, logged, 0);
    if (close_connection) return MHD_NO;
    return QueueStatusPage(connection, forced, registry_.shutting_down());
  }
  if (status == 204 || status == 304) output.clear();
  MHD_Response* response =
      MHD_create_response_from_buffer(output.size(), output.data(), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  bool has_type = false;
  for (const auto& header : headers) {
    has_type = has_type || text::EqualsIgnoringCase(header.name, MHD_HTTP_HEADER_CONTENT_TYPE);
    MHD_add_response_header(response, header.name.c_str(), header.value.c_str());
  }
  if (!has_type && !output.empty()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/html");
  }
  if (registry_.shutting_down()) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  HostRequestMetrics().RecordAnswer(operation, status);
  if (access_log_) {
    WriteAccessLogLine(remote_address, method, logged_target, status,
                       method == MHD_HTTP_METHOD_HEAD ? 0 : output.size());
  }
  return queued;
}

void HostRequest::ConnectionCompleted() {
  std::lock_guard lock(mutex_);
  connection_ = nullptr;
  frozen_ = true;
  if (phase_ != Phase::kInModule) phase_ = Phase::kAnswered;
}

HostRequest::Phase HostRequest::phase() const {
  std::lock_guard lock(mutex_);
  return phase_;
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
  const auto& variables = self.variables;
  const auto found = std::find_if(variables.begin(), variables.end(),
                                  [name](const auto& variable) { return variable.first == name; });
  if (found == variables.end()) {
    errno = QX_ERROR_INVALID_INDEX;
    return 0;
  }
  const auto needed = static_cast<uint32_t>(found->second.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    errno = QX_ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(buffer, found->second.c_str(), needed);
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
    default:
      errno = QX_ERROR_INVALID_PARAMETER;
      return 0;
  }
}

}  // namespace host
