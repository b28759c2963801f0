// The HTTP server around one extension module: the library with an epoll
// thread pool, fed connections by an acceptor of our own; module calls on
// request threads apart from the library's, with the connection suspended
// meanwhile; pending requests held the same way; and an orderly shutdown.
// This class routes requests; the pieces it ties together live beside it:
// Acceptor and OpenConnections (who gets in, for how long), RequestThreads
// (where the module runs), ServerVariables (what the module may ask),
// StaticFiles (the site's scripts and style sheets),
// StatusPages (what the host answers itself), PendingRequests (what is held,
// the watchdog, and the shutdown's waiting) and HostRequest (one request's
// state).
//
// Threads: the main thread calls Start, Url, Shutdown and
// ModuleRequestsInProgress; the library's threads call the static callbacks;
// request threads call the module.
#pragma once

#include <microhttpd.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "host/Acceptor.h"
#include "host/AnswerTimes.h"
#include "host/ExtensionModule.h"
#include "host/HostOptions.h"
#include "host/OpenConnections.h"
#include "host/PendingRequests.h"
#include "host/RequestThreads.h"

namespace host {

class HostRequest;

class HttpHost {
 public:
  // module must outlive the host.
  HttpHost(const HostOptions& options, ExtensionModule& module);
  // Shuts down if Start succeeded and Shutdown was not called.
  ~HttpHost();
  HttpHost(const HttpHost&) = delete;
  HttpHost& operator=(const HttpHost&) = delete;

  // Binds and starts serving; on failure returns false with a one-line reason.
  bool Start(std::string& error);
  // The URL the module is served at.
  std::string Url() const;

  // Stops accepting, gives pending requests the grace time, answers the rest
  // 503 and stops the server. Returns when no connection is left.
  void Shutdown();

  // Requests the module has taken as pending and not yet finished.
  int ModuleRequestsInProgress() const { return pending_.ModuleRequestsInProgress(); }
  // Requests held now, waiting for the module. Any thread.
  int PendingRequestsNow() const { return pending_.HeldCount(); }

 private:
  static void* OnRequestLine(void* cls, const char* uri, MHD_Connection* connection);
  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char* version, const char* upload_data,
                              size_t* upload_data_size, void** request_context);
  static void OnCompleted(void* cls, MHD_Connection* connection, void** request_context,
                          MHD_RequestTerminationCode code);
  static void OnConnection(void* cls, MHD_Connection* connection, void** socket_context,
                           MHD_ConnectionNotificationCode code);
  MHD_Result Handle(MHD_Connection* connection, HostRequest& request, const char* version,
                    const char* upload_data, size_t* upload_data_size);
  // The first call for a request, its headers in: refuses it or expects a body.
  MHD_Result Admit(MHD_Connection* connection, HostRequest& request, std::string_view version);
  // Answers without the module: doubtful framing, wrong path or method, body
  // too large, ...
  MHD_Result Refuse(const HostRequest& request, MHD_Connection* connection, unsigned status,
                    bool close_connection, const char* allow = nullptr);
  // The same while the body still arrives, when the library takes no answer:
  // writes it itself and has the library close the connection.
  MHD_Result RefuseDuringBody(const HostRequest& request, MHD_Connection* connection, unsigned status);
  // Answers GET and HEAD under /<app>/static/ from the site's static folder.
  MHD_Result ServeStatic(MHD_Connection* connection, const HostRequest& request);
  // False for a request that may name the heartbeat from a client not
  // listed to send it.
  bool MayAskForHeartbeat(const HostRequest& request) const;
  // Hands the request to a request thread; waits a little for its answer
  // where that usually comes quickly, otherwise suspends the connection.
  MHD_Result RunModule(MHD_Connection* connection, HostRequest& request);
  void CallModule(HostRequest& request);
  // Queues the module's (or the host's forced) answer and learns its time.
  MHD_Result Answer(MHD_Connection* connection, HostRequest& request);

  const HostOptions options_;
  const std::string static_folder_;  // "static/" beside the module
  const std::string module_target_;  // "/<app>/<module file>"
  const std::string static_prefix_;  // "/<app>/static/"
  ExtensionModule& module_;
  PendingRequests pending_;
  RequestThreads request_threads_;
  AnswerTimes answer_times_;
  std::unique_ptr<OpenConnections> connections_;  // made by Start
  std::unique_ptr<Acceptor> acceptor_;            // made by Start
  MHD_Daemon* daemon_ = nullptr;  // main thread only
  unsigned short port_ = 0;       // written by Start before the library runs
};

}  // namespace host
