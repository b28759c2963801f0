#include "host/HttpHost.h"

#include <unistd.h>

#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "host/Connection.h"
#include "host/DescriptorLimits.h"
#include "host/HostRequest.h"
#include "host/RateLimitedLog.h"
#include "platform/ListeningSocket.h"

namespace host {

namespace {

// Threads at most: each module call that blocks holds one, and the limit
// only keeps a back end that never answers from costing unbounded threads.
constexpr unsigned kMaxThreads = 512;
// A module call this long is taken for blocked: its loop goes to another thread.
constexpr auto kStuckAfter = std::chrono::microseconds(2000);
// With no module call seen for this long, the watchdog sleeps until one begins.
constexpr auto kQuietBeforeSleep = std::chrono::milliseconds(50);
constexpr auto kSpareIdle = std::chrono::seconds(10);
// How long shutdown, past the grace, waits for the answers it forced to go
// out and the connections to close, and then for the loops' threads.
constexpr auto kCloseBound = std::chrono::seconds(10);
constexpr auto kThreadsBound = std::chrono::milliseconds(2000);
constexpr auto kShutdownPoll = std::chrono::milliseconds(10);

unsigned LoopCount(const HostOptions& options) {
  if (options.threads != 0) return options.threads;
  return std::max(1u, std::thread::hardware_concurrency());
}

// Waits until done() or the deadline; shutdown only, so a short poll will do.
template <typename Done>
void WaitUntil(Done done, std::chrono::steady_clock::time_point deadline) {
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(kShutdownPoll);
}

}  // namespace

HttpHost::HttpHost(const HostOptions& options, ExtensionModule& module) : options_(options), module_(module) {}

HttpHost::~HttpHost() {
  if (serving_now_) Shutdown();
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

  loops_ = std::make_unique<EventLoops>(
      EventLoops::Limits{LoopCount(options_), kMaxThreads, kStuckAfter, kQuietBeforeSleep, kSpareIdle});
  serving_ = std::make_unique<Serving>(options_, module_, max_connections, port_, loops_->size());
  acceptor_ = std::make_unique<Acceptor>(
      *loops_, serving_->connections,
      [this](LoopSocket socket, PeerAddress peer, std::size_t loop) {
        auto connection = std::make_shared<Connection>(*serving_, std::move(socket), peer, loop);
        boost::asio::post(loops_->Context(loop), [connection] { connection->Start(); });
      });
  try {
    loops_->Start();
  } catch (const std::system_error& failed) {
    // The process limit of the host's user, most likely.
    loops_->Stop(kThreadsBound);
    close(listening.fd);
    error = std::string("cannot start the event loops' threads: ") + failed.what();
    return false;
  }
  if (!acceptor_->Start(listening.fd, error)) {
    loops_->Stop(kThreadsBound);
    return false;
  }
  serving_now_ = true;
  return true;
}

std::string HttpHost::Url() const {
  return "http://" + options_.listen_address + ":" + std::to_string(port_) + "/" + options_.app + "/" +
         module_.FileName();
}

int HttpHost::ModuleRequestsInProgress() const { return static_cast<int>(host::ModuleRequestsInProgress()); }

int HttpHost::PendingRequestsNow() const { return serving_ ? serving_->held.load(std::memory_order_relaxed) : 0; }

void HttpHost::Shutdown() {
  if (!serving_now_) return;
  serving_now_ = false;
  using Clock = std::chrono::steady_clock;
  // From here on a request is refused with 503 and its connection closed.
  serving_->shutting_down = true;
  acceptor_->Stop();
  WaitUntil([this] { return serving_->busy.Sum() == 0; },
            Clock::now() + std::chrono::seconds(options_.shutdown_grace_s));
  // Past the grace: what the module still has is answered 503, a writing
  // connection finishes its answer, and the rest are closed.
  for (std::size_t loop = 0; loop < loops_->size(); ++loop) {
    boost::asio::post(loops_->Context(loop), [this, loop] {
      const std::vector<Connection*> open(serving_->connections_by_loop[loop].begin(),
                                          serving_->connections_by_loop[loop].end());
      for (Connection* connection : open) connection->Stop();
    });
  }
  WaitUntil([this] { return serving_->connections.open() == 0; }, Clock::now() + kCloseBound);
  if (loops_->Stop(kThreadsBound) > 0) {
    // Threads still inside module calls will come back through the loops'
    // bookkeeping and their connections: those must outlive them, so they
    // are kept to the end of the process.
    LeftToModuleCalls().push_back({std::move(loops_), std::move(serving_), std::move(acceptor_)});
  }
}

std::vector<HttpHost::Kept>& HttpHost::LeftToModuleCalls() {
  static auto* kept = new std::vector<Kept>;
  return *kept;
}

void HttpHost::ReleaseLeftThreads(std::chrono::milliseconds wait) {
  auto& kept = LeftToModuleCalls();
  std::erase_if(kept, [wait](const Kept& left) { return left.loops->JoinLeftThreads(wait); });
}

}  // namespace host
