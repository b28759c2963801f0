// The HTTP server around one extension module: event loops (EventLoops) that
// read and write HTTP/1.1 with Boost.Beast and call the module inline, an
// acceptor at the door (Acceptor, OpenConnections), one Connection per
// client, and an orderly shutdown. What each request needs lives beside it:
// RequestParser and RequestChecks (reading and judging a head),
// ServerVariables (what the module may ask), StaticFiles (the site's scripts
// and style sheets), StatusPages (what the host answers itself) and
// HostRequest (one request between its connection and the module).
//
// Threads: the owning (main) thread calls Start, Url, FirstLoop, Shutdown and
// the destructor; the counts may be read from any thread.
#pragma once

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/Acceptor.h"
#include "host/EventLoops.h"
#include "host/ExtensionModule.h"
#include "host/HostOptions.h"
#include "host/Serving.h"

namespace host {

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
  // The first event loop, for the metrics listener; valid between Start and
  // the destructor.
  boost::asio::io_context& FirstLoop() { return loops_->Context(0); }

  // Stops accepting, gives requests in progress the grace time, answers what
  // the module still has 503, closes every connection and stops the loops.
  // Threads still inside module calls are left to them.
  void Shutdown();
  // Once the module has let go of every request: joins the threads that
  // Shutdown left inside module calls and frees what they used. Main thread.
  static void ReleaseLeftThreads(std::chrono::milliseconds wait);

  // Requests the module has taken and not yet finished.
  int ModuleRequestsInProgress() const;
  // Requests held now, waiting for the module. Any thread.
  int PendingRequestsNow() const;
  // Threads that run the loops, wait as spares or are inside module calls.
  unsigned Threads() const { return loops_ ? loops_->threads() : 0; }

 private:
  // What Shutdown could not free while threads were inside module calls:
  // those threads come back through it.
  struct Kept {
    std::unique_ptr<EventLoops> loops;
    std::unique_ptr<Serving> serving;
    std::unique_ptr<Acceptor> acceptor;
  };
  static std::vector<Kept>& LeftToModuleCalls();

  const HostOptions options_;
  ExtensionModule& module_;
  std::unique_ptr<EventLoops> loops_;
  std::unique_ptr<Serving> serving_;
  std::unique_ptr<Acceptor> acceptor_;
  unsigned short port_ = 0;
  bool serving_now_ = false;  // owning thread only
};

}  // namespace host
