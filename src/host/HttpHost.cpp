#include "host/HttpHost.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "host/AccessLog.h"
#include "host/HostRequest.h"
#include "host/RequestChecks.h"
#include "host/ServerVariables.h"
#include "host/StatusPages.h"
#include "platform/ListeningSocket.h"

namespace host {

HttpHost::HttpHost(const HostOptions& options, ExtensionModule& module)
    : options_(options),
      module_(module),
      pending_({std::chrono::seconds(options.pending_timeout_s), std::chrono::seconds(options.shutdown_grace_s)}) {}

HttpHost::~HttpHost() {
  if (daemon_ != nullptr) Shutdown();
}

bool HttpHost::Start(std::string& error) {
  const auto listening = platform::OpenListeningSocket(options_.listen_address, options_.listen_port,
                                                       {.nonblocking = true, .backlog = SOMAXCONN});
  if (!listening.ok()) {
    error = "cannot listen on " + options_.listen_address + ":" + std::to_string(options_.listen_port) + ": " +
            (listening.failure == platform::ListeningSocket::Failure::kNotIPv4 ? "not an IPv4 address"
                                                                               : std::strerror(listening.error_number));
    return false;
  }
  port_ = listening.port;
  unsigned threads = options_.threads;
  if (threads == 0) threads = std::max(4u, 2 * std::max(1u, std::thread::hardware_concurrency()));

  // poll, not epoll: with epoll the library loses a client's end of sending
  // that arrives while a request is being answered, and keeps the connection
  // open until the idle timeout instead of closing it after the answer.
  const unsigned flags = MHD_USE_POLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  // New connections are refused by the accept policy once shutdown begins:
  // quiescing a thread pool races inside the library and can abort.
  const MHD_AcceptPolicyCallback accept_policy = [](void* cls, const sockaddr*, socklen_t) {
    return static_cast<HttpHost*>(cls)->pending_.shutting_down() ? MHD_NO : MHD_YES;
  };
  daemon_ = MHD_start_daemon(
      flags, 0, accept_policy, this, &HttpHost::OnRequest, this,
      MHD_OPTION_LISTEN_SOCKET, listening.fd,
      MHD_OPTION_THREAD_POOL_SIZE, threads,
      MHD_OPTION_CONNECTION_LIMIT, options_.max_connections,
      MHD_OPTION_CONNECTION_TIMEOUT, options_.idle_timeout_s,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, options_.max_header_bytes,
      // At -1 this library refuses whitespace before a header's colon (a
      // name that proxies may read differently), with a well-formed 400; its
      // missing-Host refusal at 1 sends the status line twice, so the host
      // checks Host itself.
      MHD_OPTION_STRICT_FOR_CLIENT, -1,
      MHD_OPTION_URI_LOG_CALLBACK, &HttpHost::OnRequestLine, this,
      MHD_OPTION_NOTIFY_COMPLETED, &HttpHost::OnCompleted, this,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    close(listening.fd);
    error = "cannot start the HTTP server on " + options_.listen_address + ":" + std::to_string(port_);
    return false;
  }
  pending_.StartWatchdog();
  return true;
}

std::string HttpHost::Url() const {
  return "http://" + options_.listen_address + ":" + std::to_string(port_) + "/" + options_.app +
         "/" + module_.FileName();
}

void* HttpHost::OnRequestLine(void* cls, const char* uri, MHD_Connection*) {
  auto& host = *static_cast<HttpHost*>(cls);
  host.pending_.RequestOpened();
  // Owned by the library until it reports the request complete.
  return new std::shared_ptr<HostRequest>(std::make_shared<HostRequest>(host.pending_, host.options_.access_log, uri));
}

void HttpHost::OnCompleted(void* cls, MHD_Connection*, void** request_context,
                           MHD_RequestTerminationCode) {
  auto* holder = static_cast<std::shared_ptr<HostRequest>*>(*request_context);
  if (holder == nullptr) return;
  (*holder)->ConnectionCompleted();
  static_cast<HttpHost*>(cls)->pending_.RequestCompleted(holder->get());
  delete holder;
  *request_context = nullptr;
}

MHD_Result HttpHost::OnRequest(void* cls, MHD_Connection* connection, const char*,
                               const char* method, const char* version, const char* upload_data,
                               size_t* upload_data_size, void** request_context) {
  auto* holder = static_cast<std::shared_ptr<HostRequest>*>(*request_context);
  if (holder == nullptr) return MHD_NO;
  auto& request = **holder;
  if (request.method.empty()) request.method = method;
  return static_cast<HttpHost*>(cls)->Handle(connection, request, version, upload_data, upload_data_size);
}

MHD_Result HttpHost::Handle(MHD_Connection* connection, HostRequest& request, const char* version,
                            const char* upload_data, size_t* upload_data_size) {
  switch (request.phase()) {
    case HostRequest::Phase::kResuming:
      pending_.Resumed(&request);
      return request.QueueAnswer(connection, QX_STATUS_PENDING);
    case HostRequest::Phase::kReceiving:
      break;
    default:
      return MHD_NO;
  }
  if (request.variables.empty()) return Admit(connection, request, version != nullptr ? version : "");
  if (*upload_data_size > 0) {
    // Only a chunked body can grow past the limit here: a declared length was
    // checked in Admit.
    if (request.body.size() + *upload_data_size > options_.max_body_bytes) {
      return RefuseDuringBody(request, connection, 413);
    }
    request.body.append(upload_data, *upload_data_size);
    *upload_data_size = 0;
    return MHD_YES;
  }
  return RunModule(connection, request);
}

MHD_Result HttpHost::Admit(MHD_Connection* connection, HostRequest& request, std::string_view version) {
  CollectServerVariables(connection, {options_.listen_address, port_}, request);
  // First of all: any answer that kept the connection would leave the rest of
  // a doubtful request to be read as the next one.
  if (!HasSoundFraming(connection, version)) return Refuse(request, connection, 400, true);
  const bool closing = pending_.shutting_down();
  if (request.path != "/" + options_.app + "/" + module_.FileName()) {
    return Refuse(request, connection, 404, closing);
  }
  if (request.method != "GET" && request.method != "HEAD" && request.method != "POST") {
    return Refuse(request, connection, 405, closing, "GET, HEAD, POST");
  }
  if (closing) return Refuse(request, connection, 503, true);
  if (const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                       MHD_HTTP_HEADER_CONTENT_LENGTH)) {
    const unsigned long long declared = std::strtoull(length, nullptr, 10);
    if (declared > options_.max_body_bytes) return Refuse(request, connection, 413, true);
    request.body.reserve(static_cast<std::size_t>(declared));
  }
  return MHD_YES;
}

MHD_Result HttpHost::Refuse(const HostRequest& request, MHD_Connection* connection, unsigned status,
                            bool close_connection, const char* allow) {
  if (options_.access_log) {
    WriteAccessLogLine(request.remote_address, request.method, request.raw_uri, status, 0);
  }
  return QueueStatusPage(connection, status, close_connection, allow);
}

MHD_Result HttpHost::RefuseDuringBody(const HostRequest& request, MHD_Connection* connection,
                                      unsigned status) {
  if (options_.access_log) {
    WriteAccessLogLine(request.remote_address, request.method, request.raw_uri, status, 0);
  }
  WriteStatusPageNow(connection, status);
  return MHD_NO;
}

MHD_Result HttpHost::RunModule(MHD_Connection* connection, HostRequest& request) {
  QX_EXTENSION_CONTROL_BLOCK* ecb = request.PrepareControlBlock();
  const std::uint32_t status = module_.HttpExtensionProc(ecb);
  if (request.SuspendIfPending(status, connection)) return MHD_YES;
  return request.QueueAnswer(connection, status);
}

void HttpHost::Shutdown() {
  if (daemon_ == nullptr) return;
  // Drain leaves no connection suspended, so stopping cannot abort; and the
  // library must be stopped before the module it calls is unloaded.
  pending_.Drain();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

}  // namespace host
