#include "host/HttpHost.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "host/AccessLog.h"
#include "host/HostRequest.h"
#include "isapi/ReasonPhrases.h"
#include "platform/ListeningSocket.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

// How long a request's memory outlives the module's done-with-session, for
// module threads that touch it once more on their way out.
constexpr auto kRetireGrace = std::chrono::seconds(2);
constexpr auto kWatchInterval = std::chrono::milliseconds(200);

std::string AddressText(const sockaddr* address, unsigned short* port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address == nullptr) return "-";
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    *port = ntohs(v4->sin_port);
  } else if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    *port = ntohs(v6->sin6_port);
  }
  return text;
}

std::string ServerVariableName(const char* header) {
  std::string name = "HTTP_";
  for (const char* c = header; *c != '\0'; ++c) {
    name.push_back(*c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(*c))));
  }
  return name;
}

}  // namespace

MHD_Result QueueStatusPage(MHD_Connection* connection, unsigned status, bool close_connection,
                           const char* allow) {
  const std::string text = std::to_string(status) + " " + std::string(ReasonPhraseFor(status, "Error"));
  const std::string page = "<html><head><title>" + text + "</title></head><body><h1>" + text +
                           "</h1></body></html>\n";
  MHD_Response* response =
      MHD_create_response_from_buffer(page.size(), const_cast<char*>(page.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/html");
  if (allow != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
  if (close_connection) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

HttpHost::HttpHost(const HostOptions& options, ExtensionModule& module)
    : options_(options), module_(module) {}

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
  const int listener = listening.fd;
  port_ = listening.port;
  unsigned threads = options_.threads;
  if (threads == 0) threads = std::max(4u, 2 * std::max(1u, std::thread::hardware_concurrency()));

  const unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  // New connections are refused by the accept policy once shutdown begins:
  // quiescing an epoll thread pool races inside the library and can abort.
  const MHD_AcceptPolicyCallback accept_policy = [](void* cls, const sockaddr*, socklen_t) {
    return static_cast<HttpHost*>(cls)->shutting_down() ? MHD_NO : MHD_YES;
  };
  daemon_ = MHD_start_daemon(
      flags, 0, accept_policy, this, &HttpHost::OnRequest, this,
      MHD_OPTION_LISTEN_SOCKET, listener,
      MHD_OPTION_THREAD_POOL_SIZE, threads,
      MHD_OPTION_CONNECTION_LIMIT, options_.max_connections,
      MHD_OPTION_CONNECTION_TIMEOUT, options_.idle_timeout_s,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, options_.max_header_bytes,
      MHD_OPTION_URI_LOG_CALLBACK, &HttpHost::OnRequestLine, this,
      MHD_OPTION_NOTIFY_COMPLETED, &HttpHost::OnCompleted, this,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    close(listener);
    error = "cannot start the HTTP server on " + options_.listen_address + ":" + std::to_string(port_);
    return false;
  }
  watchdog_ = std::thread(&HttpHost::WatchPending, this);
  return true;
}

std::string HttpHost::Url() const {
  return "http://" + options_.listen_address + ":" + std::to_string(port_) + "/" + options_.app +
         "/" + module_.FileName();
}

void* HttpHost::OnRequestLine(void* cls, const char* uri, MHD_Connection*) {
  auto& host = *static_cast<HttpHost*>(cls);
  {
    std::lock_guard lock(host.mutex_);
    ++host.open_requests_;
  }
  // Owned by the library until it reports the request complete.
  return new std::shared_ptr<HostRequest>(std::make_shared<HostRequest>(host, uri));
}

void HttpHost::OnCompleted(void* cls, MHD_Connection*, void** request_context,
                           MHD_RequestTerminationCode) {
  auto* holder = static_cast<std::shared_ptr<HostRequest>*>(*request_context);
  if (holder == nullptr) return;
  (*holder)->ConnectionCompleted();
  delete holder;
  *request_context = nullptr;
  auto& host = *static_cast<HttpHost*>(cls);
  std::lock_guard lock(host.mutex_);
  --host.open_requests_;
  host.NotifyShutdown();
}

MHD_Result HttpHost::OnRequest(void* cls, MHD_Connection* connection, const char*,
                               const char* method, const char*, const char* upload_data,
                               size_t* upload_data_size, void** request_context) {
  auto* holder = static_cast<std::shared_ptr<HostRequest>*>(*request_context);
  if (holder == nullptr) return MHD_NO;
  auto& request = **holder;
  if (request.method.empty()) request.method = method;
  return static_cast<HttpHost*>(cls)->Handle(connection, request, upload_data, upload_data_size);
}

MHD_Result HttpHost::Handle(MHD_Connection* connection, HostRequest& request, const char* upload_data,
                            size_t* upload_data_size) {
  switch (request.phase()) {
    case HostRequest::Phase::kResuming: {
      RemoveSuspended(&request);
      return request.QueueAnswer(connection, QX_STATUS_PENDING);
    }
    case HostRequest::Phase::kReceiving:
      break;
    default:
      return MHD_NO;
  }

  const bool first_call = request.variables.empty();
  if (first_call) {
    const std::string expected = "/" + options_.app + "/" + module_.FileName();
    CollectVariables(connection, request);
    if (request.path != expected) return Refuse(connection, request, 404, shutting_down());
    if (request.method != "GET" && request.method != "POST") {
      return Refuse(connection, request, 405, shutting_down(), "GET, POST");
    }
    if (shutting_down()) return Refuse(connection, request, 503, true);
    if (const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                         MHD_HTTP_HEADER_CONTENT_LENGTH)) {
      const unsigned long long declared = std::strtoull(length, nullptr, 10);
      if (declared > options_.max_body_bytes) return Refuse(connection, request, 413, true);
      request.body.reserve(static_cast<std::size_t>(declared));
    }
    return MHD_YES;
  }
  if (*upload_data_size > 0) {
    if (request.body.size() + *upload_data_size > options_.max_body_bytes) {
      request.body_too_large = true;
    } else {
      request.body.append(upload_data, *upload_data_size);
    }
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (request.body_too_large) return Refuse(connection, request, 413, true);
  return RunModule(connection, request);
}

MHD_Result HttpHost::Refuse(MHD_Connection* connection, const HostRequest& request, unsigned status,
                            bool close_connection, const char* allow) {
  if (options_.access_log) {
    WriteAccessLogLine(request.remote_address, request.method, request.raw_uri, status, 0);
  }
  return QueueStatusPage(connection, status, close_connection, allow);
}

MHD_Result HttpHost::RunModule(MHD_Connection* connection, HostRequest& request) {
  QX_EXTENSION_CONTROL_BLOCK* ecb = request.PrepareControlBlock();
  const std::uint32_t status = module_.HttpExtensionProc(ecb);
  if (request.SuspendIfPending(status, connection)) return MHD_YES;
  return request.QueueAnswer(connection, status);
}

void HttpHost::CollectVariables(MHD_Connection* connection, HostRequest& request) {
  auto& variables = request.variables;
  unsigned short remote_port = 0;
  const auto* client = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  request.remote_address = AddressText(client != nullptr ? client->client_addr : nullptr, &remote_port);
  std::string server_name = options_.listen_address;
  if (const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST)) {
    std::string_view name(host);
    if (!name.starts_with('[')) name = name.substr(0, name.find(':'));
    if (!name.empty()) server_name = name;
  }
  const char* type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
  const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  variables = {
      {"REMOTE_ADDR", request.remote_address},
      {"REMOTE_HOST", request.remote_address},
      {"REMOTE_PORT", std::to_string(remote_port)},
      {"SERVER_NAME", server_name},
      {"SERVER_PORT", std::to_string(port_)},
      {"SERVER_PROTOCOL", "HTTP/1.1"},
      {"URL", request.path},
      {"PATH_INFO", request.path},
      {"SCRIPT_NAME", request.path},
      {"REQUEST_METHOD", request.method},
      {"QUERY_STRING", request.query},
      {"CONTENT_TYPE", type != nullptr ? type : ""},
      {"CONTENT_LENGTH", length != nullptr ? length : "0"},
  };
  MHD_get_connection_values(
      connection, MHD_HEADER_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
        static_cast<HostRequest*>(cls)->variables.emplace_back(ServerVariableName(key),
                                                               value != nullptr ? value : "");
        return MHD_YES;
      },
      &request);
}

void HttpHost::AddSuspended(const std::shared_ptr<HostRequest>& request) {
  std::lock_guard lock(mutex_);
  suspended_.emplace(request.get(), request);
}

void HttpHost::RemoveSuspended(const HostRequest* request) {
  std::lock_guard lock(mutex_);
  suspended_.erase(request);
  NotifyShutdown();
}

void HttpHost::RetireFromModule(std::shared_ptr<HostRequest> request) {
  std::lock_guard lock(mutex_);
  in_module_.erase(request.get());
  retired_.emplace_back(Clock::now(), std::move(request));
}

void HttpHost::ModuleTookRequest(const HostRequest* request) {
  std::lock_guard lock(mutex_);
  in_module_.insert(request);
}

void HttpHost::ModuleReleased(const HostRequest* request) {
  std::lock_guard lock(mutex_);
  in_module_.erase(request);
}

// Waking a waiter on every finished request costs the request path a
// futex call for nothing until Shutdown waits; shutting_down_ is set before
// Shutdown takes the lock, so a change under the lock never goes unseen.
void HttpHost::NotifyShutdown() {
  if (shutting_down_.load()) changed_.notify_all();
}

int HttpHost::ModuleRequestsInProgress() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(in_module_.size());
}

void HttpHost::WatchPending() {
  std::unique_lock lock(mutex_);
  while (!stop_watchdog_) {
    watchdog_wake_.wait_for(lock, kWatchInterval);
    const auto now = Clock::now();
    while (!retired_.empty() && now - retired_.front().first > kRetireGrace) retired_.pop_front();
    std::vector<std::shared_ptr<HostRequest>> pending;
    pending.reserve(suspended_.size());
    for (const auto& entry : suspended_) pending.push_back(entry.second);
    lock.unlock();
    for (const auto& request : pending) {
      if (now - request->pending_since() > std::chrono::seconds(options_.pending_timeout_s)) {
        request->ForceAnswer(504, false);
        continue;
      }
      pollfd watch{request->fd(), POLLRDHUP, 0};
      if (request->fd() >= 0 && poll(&watch, 1, 0) > 0 &&
          (watch.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        request->ForceAnswer(499, true);  // the client went away: just close
      }
    }
    pending.clear();
    lock.lock();
  }
}

void HttpHost::Shutdown() {
  if (daemon_ == nullptr) return;
  shutting_down_ = true;

  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(options_.shutdown_grace_s),
                    [this] { return suspended_.empty(); });
  std::vector<std::shared_ptr<HostRequest>> late;
  for (const auto& entry : suspended_) late.push_back(entry.second);
  lock.unlock();
  for (const auto& request : late) request->ForceAnswer(503, false);
  lock.lock();
  // Stopping the library while a connection is still suspended would abort;
  // stopping it before the answers are out would lose them.
  const bool resumed = changed_.wait_for(lock, std::chrono::seconds(10), [this] { return suspended_.empty(); });
  changed_.wait_for(lock, std::chrono::seconds(10), [this] { return open_requests_ == 0; });
  stop_watchdog_ = true;
  watchdog_wake_.notify_all();
  lock.unlock();
  watchdog_.join();
  if (resumed) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

}  // namespace host
