// SIGTERM ends quorvix-host within its shutdown grace plus five seconds
// whatever the back end does, every request waiting for it is answered, and
// what the last diagnostics report could not send is left in the trace file.
// Each row points the module at a back end that misbehaves in its own way and
// has a request wait for it when the signal comes.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/HttpClient.h"
#include "support/MetricsSamples.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

constexpr int kGraceSeconds = 2;
constexpr auto kExitBound = std::chrono::seconds(kGraceSeconds + 5);

// A loopback socket of the test's own; closed with the object.
class Socket {
 public:
  // nonblocking: connects start and return at once.
  explicit Socket(bool nonblocking = false)
      : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0)) {}
  ~Socket() { Close(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Binds to a free loopback port; the port, or 0.
  unsigned short Bind() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return 0;
    }
    return ntohs(address.sin_port);
  }
  bool Listen(int backlog) { return listen(fd_, backlog) == 0; }
  // Takes the connection waiting on a listener into accepted; false when
  // none comes within a few seconds.
  bool Accept(Socket& accepted) {
    pollfd wait{fd_, POLLIN, 0};
    if (poll(&wait, 1, 5000) != 1) return false;
    accepted.Close();
    accepted.fd_ = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return accepted.fd_ >= 0;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  void Connect(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    (void)!connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }

 private:
  int fd_;
};

// What the module's back end is in a row: the port it is configured with and
// whatever keeps that port behaving so.
class BackEnd {
 public:
  virtual ~BackEnd() = default;
  virtual unsigned short port() const = 0;
  // Once the module has started (and filled its pool); false when the back
  // end could not be brought into its state.
  virtual bool HostStarted() { return true; }
};

// vekacs-sim answering every request a minute late.
class SlowSim : public BackEnd {
 public:
  SlowSim() { ok_ = sim_.ready() && sim_.Control("fault delay 60000 0").empty(); }
  ~SlowSim() override { EXPECT_EQ(sim_.Stop(), 0); }
  unsigned short port() const override { return ok_ ? sim_.port() : 0; }

 private:
  SimProcess sim_;
  bool ok_ = false;
};

// Connections are completed by the kernel, so requests go out, but nothing
// ever reads them or answers.
class SilentListener : public BackEnd {
 public:
  SilentListener() : port_(listener_.Bind()) {
    if (!listener_.Listen(64)) port_ = 0;
  }
  unsigned short port() const override { return port_; }

 private:
  Socket listener_;
  unsigned short port_;
};

// A listener whose queue is full: new connects are neither accepted nor
// refused, they hang until they time out. The module's pooled connection is
// closed once it is in, so that the next exchange needs a new one.
class FullListener : public BackEnd {
 public:
  FullListener() : port_(listener_.Bind()) {
    if (!listener_.Listen(0)) port_ = 0;
  }
  unsigned short port() const override { return port_; }
  bool HostStarted() override {
    Socket pooled;
    if (!listener_.Accept(pooled)) return false;
    // A backlog of 0 queues one connection; the second connect makes sure.
    for (auto& filler : fillers_) filler.Connect(port_);
    return true;
  }

 private:
  Socket listener_;
  unsigned short port_;
  Socket fillers_[2] = {Socket(true), Socket(true)};
};

// A port that is bound but not listening: every connect is refused at once.
class RefusingPort : public BackEnd {
 public:
  RefusingPort() : port_(socket_.Bind()) {}
  unsigned short port() const override { return port_; }

 private:
  Socket socket_;
  unsigned short port_;
};

struct Row {
  const char* name;
  std::unique_ptr<BackEnd> (*make)();
  const char* request;  // sent before the signal
  const char* waiting;  // the trace line that shows the request waiting for the back end
};

// Test listings name the back end instead of dumping the row's bytes.
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// A chat start goes to a worker thread once sent; a request that cannot get
// a connection, or a heartbeat, waits inside the module call instead. Either
// way the host answers it 503 once the grace is over, and the module's stop
// cuts the wait short.
constexpr const char* kChatStart =
    "varUserRequest=REQ_JS_START&varCustomerName=Ann&varCaption=Question&varUserLanguage=en&varBusinessUnitName=Sales";
constexpr const char* kHeartbeat = "varUserRequest=REQ_HEARTBEAT&varHostName=web&varWebApp=shop&varPort=80";
// Trace lines that show the request waiting where the row wants it.
constexpr const char* kHandedToWorker = "CommunicateWithVEKACS: Exiting successfully";
constexpr const char* kGettingConnection = "CommunicateWithVEKACS: Getting socket from non-SSL pool";
constexpr const char* kReceiving = "GetVEKACSResponse: Receiving";

template <typename T>
std::unique_ptr<BackEnd> Make() {
  return std::make_unique<T>();
}

// The site folder with its RAVO.ini pointed at port, one connection made at
// start, diagnostics on and the trace file written.
void InstallSite(const TempDir& site, unsigned short port) {
  std::filesystem::copy(QUORVIX_SITE_DIR, site.path(), std::filesystem::copy_options::recursive);
  std::istringstream original(site.Read("RAVO.ini"));
  std::string ini;
  for (std::string line; std::getline(original, line);) {
    if (line.rfind("Port=", 0) == 0) line = "Port=" + std::to_string(port);
    if (line.rfind("MinSockets=", 0) == 0) line = "MinSockets=1";
    if (line.rfind("DebugOutput=", 0) == 0) line = "DebugOutput=yes";
    ini += line + "\n";
  }
  site.Write("RAVO.ini", ini);
}

class ShutdownGraceTest : public testing::TestWithParam<Row> {};

TEST_P(ShutdownGraceTest, HostEndsWithinTheGraceAndTracesWhatTheLastReportCouldNotSend) {
  const auto backend = GetParam().make();
  ASSERT_NE(backend->port(), 0);
  TempDir site;
  InstallSite(site, backend->port());
  HostProcess host(site.path() + "quorvix.so",
                   {"--shutdown-grace", std::to_string(kGraceSeconds), "--no-access-log"});
  ASSERT_TRUE(host.ready()) << host.process().Output();
  ASSERT_TRUE(backend->HostStarted());

  const Row& row = GetParam();
  auto answer = std::async(std::launch::async, [&host, &row] { return host.Post(row.request); });
  ASSERT_TRUE(WaitUntil([&site, &row] { return site.Read("debug.txt").find(row.waiting) != std::string::npos; }))
      << site.Read("debug.txt");

  const auto signalled = std::chrono::steady_clock::now();
  const int exit_code = host.process().Stop(SIGTERM, kExitBound + 30s);
  const auto took = std::chrono::steady_clock::now() - signalled;
  const auto took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  RecordProperty("exit_ms", static_cast<int>(took_ms));
  std::printf("%s: quorvix-host ended %lld ms after SIGTERM\n", row.name, static_cast<long long>(took_ms));

  EXPECT_EQ(exit_code, 0) << host.process().Output();
  EXPECT_LE(took, kExitBound);
  EXPECT_EQ(answer.get().status, 503) << host.process().Output();
  const std::string trace = site.Read("debug.txt");
  EXPECT_NE(trace.find("DiagThread::Run: last diag report not sent"), std::string::npos) << trace;
  EXPECT_NE(trace.find("DiagThread::Run: not sent: SEVR "), std::string::npos) << "the records themselves";
}

INSTANTIATE_TEST_SUITE_P(BackEnds, ShutdownGraceTest,
                         testing::Values(Row{"Slow", Make<SlowSim>, kChatStart, kHandedToWorker},
                                         Row{"SlowHeartbeat", Make<SlowSim>, kHeartbeat, kReceiving},
                                         Row{"Silent", Make<SilentListener>, kChatStart, kHandedToWorker},
                                         Row{"Hanging", Make<FullListener>, kChatStart, kGettingConnection},
                                         Row{"Refusing", Make<RefusingPort>, kChatStart, kGettingConnection}),
                         [](const testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

// Lines queued for a pooled connection when the stop comes are answered 503
// and never reach the back end, on the loops as on worker threads: a visitor
// told the host stopped would otherwise see the line in the chat later, and
// send it again.
TEST(ShutdownGraceQueueTest, RequestsStillWaitingForAConnectionAreNotSentOnceAnswered) {
  constexpr int kPosts = 8;
  constexpr int kConnections = 2;
  for (const char* path : {"--loop-service", "--no-loop-service"}) {
    SCOPED_TRACE(path);
    SimProcess sim;
    ASSERT_TRUE(sim.ready());
    TempDir site;
    sim.InstallSite(QUORVIX_SITE_DIR, site.path());
    std::istringstream original(site.Read("RAVO.ini"));
    std::string ini;
    for (std::string line; std::getline(original, line);) {
      if (line.rfind("MinSockets=", 0) == 0) line = "MinSockets=1";
      if (line.rfind("MaxSockets=", 0) == 0) line = "MaxSockets=" + std::to_string(kConnections);
      ini += line + "\n";
    }
    site.Write("RAVO.ini", ini);
    HostProcess host(site.path() + "quorvix.so",
                     {"--shutdown-grace", std::to_string(kGraceSeconds), "--no-access-log", "--metrics", "127.0.0.1:0", path});
    ASSERT_TRUE(host.ready()) << host.process().Output();
    const std::string start = host.Post("varUserRequest=REQ_JS_START&varCustomerName=Ann&varCaption=Hi"
                                        "&varUserLanguage=en").body;
    const auto at = start.find("data-session=\"");
    ASSERT_NE(at, std::string::npos) << start;
    const std::string session = start.substr(at + 14, start.find('"', at + 14) - at - 14);
    ASSERT_EQ(sim.Control("fault delay 30000 0 type 40"), "");
    std::vector<std::future<HttpResponse>> posts;
    for (int i = 0; i < kPosts; ++i) {
      posts.push_back(std::async(std::launch::async, [&host, &session, i] {
        return host.Post("varUserRequest=REQ_ADD_TO_CHAT&varSessionID=" + session + "&varChatData=line" +
                         std::to_string(i) + "&varUserLanguage=en");
      }));
    }
    const auto posts_in = [&] {
      const auto log = sim.ControlLines("log");
      return std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.find(" type=40 ") != l.npos; });
    };
    const auto in_module = [&] {
      const auto scrape = HttpFetch(host.metrics_port(), "GET", "/metrics");
      return Sum(ParseSamples(scrape.body), "quorvix_module_requests_in_progress");
    };
    ASSERT_TRUE(WaitUntil([&] { return posts_in() == kConnections && in_module() == kPosts; }))
        << posts_in() << " " << in_module();
    EXPECT_EQ(host.process().Stop(SIGTERM, kExitBound + 30s), 0) << host.process().Output();
    for (auto& post : posts) EXPECT_EQ(post.get().status, 503);
    EXPECT_EQ(posts_in(), kConnections) << "lines sent after their visitors were told the host stopped";
  }
}

}  // namespace
