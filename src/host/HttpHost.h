// The HTTP server around one extension module: libmicrohttpd with an epoll
// thread pool, one control block per request, pending requests held by
// suspending their connection, a watchdog for requests that stay pending too
// long or whose client went away, and an orderly shutdown.
#pragma once

#include <microhttpd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "host/ExtensionModule.h"
#include "host/HostOptions.h"

namespace host {

class HostRequest;

class HttpHost {
 public:
  HttpHost(const HostOptions& options, ExtensionModule& module);
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
  int ModuleRequestsInProgress() const;

  // Called by requests.
  const HostOptions& options() const { return options_; }
  ExtensionModule& module() { return module_; }
  bool shutting_down() const { return shutting_down_.load(); }
  void AddSuspended(const std::shared_ptr<HostRequest>& request);
  void RemoveSuspended(const HostRequest* request);
  void ModuleTookRequest(const HostRequest* request);
  void ModuleReleased(const HostRequest* request);
  // The module said it is done; keeps the request's memory for a grace time.
  void RetireFromModule(std::shared_ptr<HostRequest> request);

 private:
  static void* OnRequestLine(void* cls, const char* uri, MHD_Connection* connection);
  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char* version, const char* upload_data,
                              size_t* upload_data_size, void** request_context);
  static void OnCompleted(void* cls, MHD_Connection* connection, void** request_context,
                          MHD_RequestTerminationCode code);
  MHD_Result Handle(MHD_Connection* connection, HostRequest& request, const char* upload_data,
                    size_t* upload_data_size);
  // Answers without the module: wrong path or method, body too large, ...
  MHD_Result Refuse(MHD_Connection* connection, const HostRequest& request, unsigned status,
                    bool close_connection, const char* allow = nullptr);
  MHD_Result RunModule(MHD_Connection* connection, HostRequest& request);
  void CollectVariables(MHD_Connection* connection, HostRequest& request);
  void WatchPending();
  void NotifyShutdown();  // call with mutex_ held

  const HostOptions options_;
  ExtensionModule& module_;
  MHD_Daemon* daemon_ = nullptr;
  unsigned short port_ = 0;
  std::atomic<bool> shutting_down_{false};

  mutable std::mutex mutex_;
  std::condition_variable changed_;        // for Shutdown; notified only once it began
  std::condition_variable watchdog_wake_;  // only to stop the watchdog
  std::unordered_map<const HostRequest*, std::shared_ptr<HostRequest>> suspended_;  // guarded
  std::unordered_set<const HostRequest*> in_module_;  // guarded by mutex_
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::shared_ptr<HostRequest>>>
      retired_;                 // guarded by mutex_
  bool stop_watchdog_ = false;  // guarded by mutex_
  int open_requests_ = 0;       // request line seen, not completed; guarded by mutex_
  std::thread watchdog_;
};

// Answers a request with a short page for status, outside the module.
MHD_Result QueueStatusPage(MHD_Connection* connection, unsigned status, bool close_connection,
                           const char* allow = nullptr);

}  // namespace host
