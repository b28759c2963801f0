// An in-process stand-in for the host: one request's control block, with the
// callbacks recording what the module sends. Callbacks may run on any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "isapi/httpext.h"

class FakeRequest {
 public:
  static FakeRequest Get(std::string query);
  static FakeRequest Post(std::string body, std::string url_query = {});
  static FakeRequest WithMethod(std::string method, std::string query);

  FakeRequest(const FakeRequest&) = delete;
  FakeRequest& operator=(const FakeRequest&) = delete;
  FakeRequest(FakeRequest&& other) noexcept;

  // Builders; they return the request itself for chaining.
  // The body length is unknown to the host (chunked upload).
  FakeRequest&& UnknownLength();
  // Only the first `count` body bytes come with the control block; the rest
  // must be read.
  FakeRequest&& Preloaded(std::size_t count);
  FakeRequest&& ServerVariable(const std::string& name, std::string value);
  FakeRequest&& RefuseServerVariables();

  QX_EXTENSION_CONTROL_BLOCK* ecb() { return &ecb_; }

  std::uint32_t status() const;
  std::string body() const;
  std::string headers() const;
  std::string statusLine() const;
  int doneCount() const;
  // Waits until the module said it is done with the session.
  bool WaitDone(int timeout_ms) const;

 private:
  FakeRequest(std::string method, std::string query, std::string body);
  void Bind();

  static int GetServerVariableThunk(QX_HCONN, const char*, void*, uint32_t*);
  static int WriteClientThunk(QX_HCONN, const void*, uint32_t*, uint32_t);
  static int ReadClientThunk(QX_HCONN, void*, uint32_t*);
  static int ServerSupportThunk(QX_HCONN, uint32_t, void*, uint32_t*, void*);

  std::string method_;
  std::string query_;
  std::string request_body_;
  std::size_t read_offset_ = 0;
  std::map<std::string, std::string> variables_;
  bool refuse_variables_ = false;
  QX_EXTENSION_CONTROL_BLOCK ecb_{};

  mutable std::mutex mutex_;
  mutable std::condition_variable done_signal_;
  std::string body_;         // guarded by mutex_
  std::string headers_;      // guarded by mutex_
  std::string status_line_;  // guarded by mutex_
  int done_ = 0;             // guarded by mutex_
};
