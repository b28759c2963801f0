#include "support/FakeControlBlock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {
FakeRequest& Self(QX_HCONN conn) { return *static_cast<FakeRequest*>(conn); }
}  // namespace

FakeRequest::FakeRequest(std::string method, std::string query, std::string body)
    : method_(std::move(method)), query_(std::move(query)), request_body_(std::move(body)) {
  variables_["URL"] = "/webchat/quorvix.so";
  variables_["SERVER_NAME"] = "localhost";
  variables_["REMOTE_ADDR"] = "127.0.0.1";
  Bind();
  ecb_.cbTotalBytes = static_cast<uint32_t>(request_body_.size());
  ecb_.cbAvailable = ecb_.cbTotalBytes;
}

FakeRequest::FakeRequest(FakeRequest&& other) noexcept
    : method_(std::move(other.method_)),
      query_(std::move(other.query_)),
      request_body_(std::move(other.request_body_)),
      read_offset_(other.read_offset_),
      variables_(std::move(other.variables_)),
      refuse_variables_(other.refuse_variables_),
      ecb_(other.ecb_) {
  Bind();
}

void FakeRequest::Bind() {
  ecb_.cbSize = sizeof ecb_;
  ecb_.ConnID = this;
  ecb_.lpszMethod = method_.c_str();
  ecb_.lpszQueryString = query_.c_str();
  ecb_.lpszPathInfo = "/webchat/quorvix.so";
  ecb_.lpszContentType = "application/x-www-form-urlencoded";
  ecb_.lpbData = reinterpret_cast<const unsigned char*>(request_body_.data());
  ecb_.GetServerVariable = &GetServerVariableThunk;
  ecb_.WriteClient = &WriteClientThunk;
  ecb_.ReadClient = &ReadClientThunk;
  ecb_.ServerSupportFunction = &ServerSupportThunk;
}

FakeRequest FakeRequest::Get(std::string query) { return FakeRequest("GET", std::move(query), {}); }

FakeRequest FakeRequest::Post(std::string body, std::string url_query) {
  return FakeRequest("POST", std::move(url_query), std::move(body));
}

FakeRequest FakeRequest::WithMethod(std::string method, std::string query) {
  return FakeRequest(std::move(method), std::move(query), {});
}

FakeRequest&& FakeRequest::UnknownLength() {
  ecb_.cbTotalBytes = QX_UNKNOWN_CONTENT_LENGTH;
  return std::move(*this);
}

FakeRequest&& FakeRequest::Preloaded(std::size_t count) {
  ecb_.cbAvailable = static_cast<uint32_t>(std::min(count, request_body_.size()));
  read_offset_ = ecb_.cbAvailable;
  return std::move(*this);
}

FakeRequest&& FakeRequest::ServerVariable(const std::string& name, std::string value) {
  variables_[name] = std::move(value);
  return std::move(*this);
}

FakeRequest&& FakeRequest::RefuseServerVariables() {
  refuse_variables_ = true;
  return std::move(*this);
}

std::uint32_t FakeRequest::status() const {
  std::lock_guard lock(mutex_);
  return ecb_.dwHttpStatusCode;
}
std::string FakeRequest::body() const {
  std::lock_guard lock(mutex_);
  return body_;
}
std::string FakeRequest::headers() const {
  std::lock_guard lock(mutex_);
  return headers_;
}
std::string FakeRequest::statusLine() const {
  std::lock_guard lock(mutex_);
  return status_line_;
}
int FakeRequest::doneCount() const {
  std::lock_guard lock(mutex_);
  return done_;
}

bool FakeRequest::WaitDone(int timeout_ms) const {
  std::unique_lock lock(mutex_);
  return done_signal_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return done_ > 0; });
}

int FakeRequest::GetServerVariableThunk(QX_HCONN conn, const char* name, void* buffer,
                                        uint32_t* size) {
  auto& self = Self(conn);
  const auto found = self.variables_.find(name);
  if (self.refuse_variables_ || found == self.variables_.end()) {
    errno = QX_ERROR_INVALID_INDEX;
    return 0;
  }
  const auto needed = static_cast<uint32_t>(found->second.size() + 1);
  if (*size < needed) {
    *size = needed;
    errno = QX_ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(buffer, found->second.c_str(), needed);
  *size = needed;
  return 1;
}

int FakeRequest::WriteClientThunk(QX_HCONN conn, const void* buffer, uint32_t* bytes, uint32_t) {
  auto& self = Self(conn);
  std::lock_guard lock(self.mutex_);
  self.body_.append(static_cast<const char*>(buffer), *bytes);
  return 1;
}

int FakeRequest::ReadClientThunk(QX_HCONN conn, void* buffer, uint32_t* size) {
  auto& self = Self(conn);
  const auto count = std::min<std::size_t>(*size, self.request_body_.size() - self.read_offset_);
  std::memcpy(buffer, self.request_body_.data() + self.read_offset_, count);
  self.read_offset_ += count;
  *size = static_cast<uint32_t>(count);
  return 1;
}

int FakeRequest::ServerSupportThunk(QX_HCONN conn, uint32_t request, void* buffer, uint32_t*,
                                    void* data) {
  auto& self = Self(conn);
  std::lock_guard lock(self.mutex_);
  switch (request) {
    case QX_REQ_SEND_RESPONSE_HEADER:
      self.status_line_ = buffer != nullptr ? static_cast<const char*>(buffer) : "";
      self.headers_ = data != nullptr ? static_cast<const char*>(data) : "";
      return 1;
    case QX_REQ_DONE_WITH_SESSION:
      ++self.done_;
      self.done_signal_.notify_all();
      return 1;
    default:
      errno = QX_ERROR_INVALID_PARAMETER;
      return 0;
  }
}
