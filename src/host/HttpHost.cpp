#include "host/HttpHost.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "host/AccessLog.h"
#include "host/DescriptorLimits.h"
#include "host/HostRequest.h"
#include "host/Operations.h"
#include "host/RateLimitedLog.h"
#include "host/RequestMetrics.h"
#include "host/RequestChecks.h"
#include "host/RequestName.h"
#include "host/ServerVariables.h"
#include "host/StaticFiles.h"
#include "host/StatusPages.h"
#include "platform/ListeningSocket.h"

namespace host {

namespace {

unsigned ConnectionThreads(const HostOptions& options) {
  if (options.threads != 0) return options.threads;
  return std::max(4u, 2 * std::max(1u, std::thread::hardware_concurrency()));
}

// Request threads at most: each blocked module call holds one, and the limit
// only keeps a back end that never answers from costing unbounded threads.
constexpr unsigned kMaxRequestThreads = 512;
constexpr auto kRequestThreadIdleExit = std::chrono::seconds(10);
// The longest a connection thread waits for the module before it suspends
// the connection and goes on with others: a quick answer then costs no
// suspend and resume, and no call holds the thread's other connections up
// longer.
constexpr auto kQuickAnswer = std::chrono::microseconds(2000);

OpenConnections::Slot* SlotOf(MHD_Connection* connection) {
  const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? static_cast<OpenConnections::Slot*>(info->socket_context) : nullptr;
}

}  // namespace

HttpHost::HttpHost(const HostOptions& options, ExtensionModule& module)
    : options_(options),
      static_folder_(StaticFolderFor(options.module_path)),
      module_target_("/" + options.app + "/" + module.FileName()),
      static_prefix_("/" + options.app + "/static/"),
      module_(module),
      pending_({std::chrono::seconds(options.pending_timeout_s), std::chrono::seconds(options.shutdown_grace_s)}),
      request_threads_({ConnectionThreads(options), kMaxRequestThreads, kRequestThreadIdleExit}),
      answer_times_(kQuickAnswer) {}

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
  std::string note;
  const unsigned max_connections =
      EffectiveConnectionLimit(options_.max_connections, RaiseDescriptorLimit(), note);
  if (!note.empty()) LogLimited("connection limit", note);
  connections_ = std::make_unique<OpenConnections>(OpenConnections::Limits{
      max_connections, options_.max_connections_per_address, std::chrono::seconds(options_.head_timeout_s),
      options_.trusted_proxies});

  // The acceptor hands connections over; the library never listens.
  const unsigned flags = MHD_USE_NO_LISTEN_SOCKET | MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME |
                         MHD_USE_ERROR_LOG;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &HttpHost::OnRequest, this,
      // First, or the library logs on its own until it reaches it.
      MHD_OPTION_EXTERNAL_LOGGER, &LogLibraryMessage, nullptr,
      MHD_OPTION_THREAD_POOL_SIZE, ConnectionThreads(options_),
      MHD_OPTION_CONNECTION_LIMIT, max_connections,
      MHD_OPTION_CONNECTION_TIMEOUT, options_.idle_timeout_s,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, options_.max_header_bytes,
      // At -1 this library refuses whitespace before a header's colon (a
      // name that proxies may read differently), with a well-formed 400; its
      // missing-Host refusal at 1 sends the status line twice, so the host
      // checks Host itself.
      MHD_OPTION_STRICT_FOR_CLIENT, -1,
      MHD_OPTION_URI_LOG_CALLBACK, &HttpHost::OnRequestLine, this,
      MHD_OPTION_NOTIFY_COMPLETED, &HttpHost::OnCompleted, this,
      MHD_OPTION_NOTIFY_CONNECTION, &HttpHost::OnConnection, this,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    close(listening.fd);
    error = "cannot start the HTTP server on " + options_.listen_address + ":" + std::to_string(port_);
    return false;
  }
  acceptor_ = std::make_unique<Acceptor>(listening.fd, *connections_, [this](int fd, const sockaddr_in& peer) {
    return MHD_add_connection(daemon_, fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == MHD_YES;
  });
  if (!acceptor_->Start()) {
    error = std::string("cannot start accepting connections: ") + std::strerror(errno);
    acceptor_.reset();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    return false;
  }
  pending_.StartWatchdog();
  return true;
}

std::string HttpHost::Url() const {
  return "http://" + options_.listen_address + ":" + std::to_string(port_) + "/" + options_.app +
         "/" + module_.FileName();
}

void* HttpHost::OnRequestLine(void*, const char* uri, MHD_Connection* connection) {
  // Only kept: the library answers some heads itself (a bad length, too many
  // fields) and then never reports their request complete, so whatever is
  // made for a request is made when its head reaches the access handler.
  OpenConnections::KeepTarget(SlotOf(connection), uri);
  return nullptr;
}

void HttpHost::OnCompleted(void* cls, MHD_Connection* connection, void** request_context,
                           MHD_RequestTerminationCode) {
  OpenConnections::AnswerCompleted(SlotOf(connection));
  auto* holder = static_cast<std::shared_ptr<HostRequest>*>(*request_context);
  if (holder == nullptr) return;
  (*holder)->ConnectionCompleted();
  static_cast<HttpHost*>(cls)->pending_.RequestCompleted(holder->get());
  delete holder;
  *request_context = nullptr;
}

void HttpHost::OnConnection(void* cls, MHD_Connection* connection, void** socket_context,
                            MHD_ConnectionNotificationCode code) {
  auto& connections = *static_cast<HttpHost*>(cls)->connections_;
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    *socket_context = info != nullptr ? connections.Started(info->connect_fd) : nullptr;
  } else {
    connections.Closed(static_cast<OpenConnections::Slot*>(*socket_context));
    *socket_context = nullptr;
  }
}

MHD_Result HttpHost::OnRequest(void* cls, MHD_Connection* connection, const char* url,
                               const char* method, const char* version, const char* upload_data,
                               size_t* upload_data_size, void** request_context) {
  auto& host = *static_cast<HttpHost*>(cls);
  auto* holder = static_cast<std::shared_ptr<HostRequest>*>(*request_context);
  if (holder == nullptr) {
    std::string target = OpenConnections::TakeTarget(SlotOf(connection));
    if (target.empty() && url != nullptr) target = url;
    host.pending_.RequestOpened();
    // Owned by the library until it reports the request complete.
    holder = new std::shared_ptr<HostRequest>(
        std::make_shared<HostRequest>(host.pending_, host.options_.access_log, std::move(target)));
    *request_context = holder;
  }
  auto& request = **holder;
  if (request.method.empty()) request.method = method;
  return host.Handle(connection, request, version, upload_data, upload_data_size);
}

MHD_Result HttpHost::Handle(MHD_Connection* connection, HostRequest& request, const char* version,
                            const char* upload_data, size_t* upload_data_size) {
  switch (request.phase()) {
    case HostRequest::Phase::kResuming:
      pending_.Resumed(&request);
      return Answer(connection, request);
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
  if (request.static_file) return ServeStatic(connection, request);
  return RunModule(connection, request);
}

MHD_Result HttpHost::Admit(MHD_Connection* connection, HostRequest& request, std::string_view version) {
  OpenConnections::HeadArrived(SlotOf(connection));
  CollectServerVariables(connection, {options_.listen_address, port_}, options_.trusted_proxies, request);
  // The body is not in yet: refusals before it log what the query names.
  if (options_.access_log) {
    request.logged_target =
        LoggedTarget(request.path, RequestName(request.query), request.raw_uri, options_.access_log_values);
  }
  // First of all: any answer that kept the connection would leave the rest of
  // a doubtful request to be read as the next one.
  if (!HasSoundFraming(connection, version)) return Refuse(request, connection, 400, true);
  const bool closing = pending_.shutting_down();
  if (request.path.starts_with(static_prefix_)) {
    if (request.method != "GET" && request.method != "HEAD") {
      return Refuse(request, connection, 405, closing, "GET, HEAD");
    }
    // Answered once the request is whole: an answer queued before that
    // makes the library close the connection, and a page loads several files.
    request.static_file = request.path.substr(static_prefix_.size());
  } else if (request.path != module_target_) {
    return Refuse(request, connection, 404, closing);
  } else if (request.method != "GET" && request.method != "HEAD" && request.method != "POST") {
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

MHD_Result HttpHost::ServeStatic(MHD_Connection* connection, const HostRequest& request) {
  const StaticAnswer answer = QueueStaticFile(connection, static_folder_, *request.static_file);
  HostRequestMetrics().RecordAnswer(request.operation, answer.status);
  if (options_.access_log) {
    WriteAccessLogLine(request.remote_address, request.method, request.raw_uri, answer.status, answer.bytes);
  }
  return answer.queued ? MHD_YES : MHD_NO;
}

MHD_Result HttpHost::Refuse(const HostRequest& request, MHD_Connection* connection, unsigned status,
                            bool close_connection, const char* allow) {
  HostRequestMetrics().RecordAnswer(request.operation, status);
  if (options_.access_log) {
    WriteAccessLogLine(request.remote_address, request.method, request.logged_target, status, 0);
  }
  return QueueStatusPage(connection, status, close_connection, allow);
}

MHD_Result HttpHost::RefuseDuringBody(const HostRequest& request, MHD_Connection* connection,
                                      unsigned status) {
  HostRequestMetrics().RecordAnswer(request.operation, status);
  if (options_.access_log) {
    WriteAccessLogLine(request.remote_address, request.method, request.logged_target, status, 0);
  }
  WriteStatusPageNow(connection, status);
  return MHD_NO;
}

bool HttpHost::MayAskForHeartbeat(const HostRequest& request) const {
  if (options_.heartbeat_from.empty()) return true;
  in_addr client{};
  if (inet_pton(AF_INET, request.remote_address.c_str(), &client) == 1 &&
      std::find(options_.heartbeat_from.begin(), options_.heartbeat_from.end(), client.s_addr) !=
          options_.heartbeat_from.end()) {
    return true;
  }
  // The module may read the name from either text, as the method and a
  // blank body decide: both are looked at.
  return !MayNameHeartbeat(request.query) && !MayNameHeartbeat(request.body);
}

MHD_Result HttpHost::RunModule(MHD_Connection* connection, HostRequest& request) {
  const auto parameters = ModuleParameters(request.method, request.query, request.body);
  request.operation = OperationOf(parameters);
  if (options_.access_log) {
    request.logged_target =
        LoggedTarget(request.path, RequestName(parameters), request.raw_uri, options_.access_log_values);
  }
  if (!MayAskForHeartbeat(request)) return Refuse(request, connection, 403, false);
  request.Queue();
  auto hold = request.shared_from_this();
  if (!request_threads_.Post([this, hold] { CallModule(*hold); })) {
    return Refuse(request, connection, 503, true);  // stopping
  }
  const auto wait = answer_times_.WaitFor(request.operation);
  if (request.AwaitModule(connection, wait) == HostRequest::Wait::kSuspended) return MHD_YES;
  return Answer(connection, request);
}

MHD_Result HttpHost::Answer(MHD_Connection* connection, HostRequest& request) {
  answer_times_.Record(request.operation, std::chrono::steady_clock::now() - request.pending_since());
  return request.QueueAnswer(connection);
}

void HttpHost::CallModule(HostRequest& request) {
  QX_EXTENSION_CONTROL_BLOCK* ecb = request.PrepareControlBlock();
  if (ecb == nullptr) return;
  request.ModuleReturned(module_.HttpExtensionProc(ecb));
}

void HttpHost::Shutdown() {
  if (daemon_ == nullptr) return;
  acceptor_->Stop();
  // Drain leaves no connection suspended, so stopping cannot abort; and the
  // library must be stopped before the module it calls is unloaded.
  pending_.Drain();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  // Calls still blocked in the module are counted by
  // ModuleRequestsInProgress; the threads are left to them.
  request_threads_.Stop(std::chrono::milliseconds(100));
}

}  // namespace host
