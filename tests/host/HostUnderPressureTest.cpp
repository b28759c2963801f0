// quorvix-host beside crowds of clients that leave, dawdle, idle or hoard,
// and beside module calls that block: whatever the crowd does, a normal
// client is still answered, and the host lets go of what the crowd left.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/HttpClient.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Sockets of the test's own, closed when the row ends.
struct Crowd {
  std::vector<int> fds;
  ~Crowd() {
    for (const int fd : fds) close(fd);
  }
};

int OpenSocketsOf(pid_t pid) {
  int sockets = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    sockets += std::filesystem::read_symlink(entry.path(), error).string().starts_with("socket:");
  }
  return sockets;
}

// A connection that ended: the host closed it (with or without an answer).
bool ClosedByHost(int fd) {
  pollfd wait{fd, POLLIN, 0};
  if (poll(&wait, 1, 0) <= 0) return false;
  char buffer[512];
  return recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0 || (wait.revents & POLLHUP) != 0;
}

// The first line that arrives on fd within limit (empty when none does).
std::string StatusLine(int fd, std::chrono::milliseconds limit) {
  std::string received;
  const auto deadline = Clock::now() + limit;
  char buffer[4096];
  while (Clock::now() < deadline && received.find("\r\n") == std::string::npos) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, 50) <= 0) continue;
    const auto count = recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) break;
    received.append(buffer, static_cast<std::size_t>(count));
  }
  return received.substr(0, received.find("\r\n"));
}

void RaiseOwnDescriptorLimit(rlim_t wanted) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_max = std::max(limit.rlim_max, wanted);  // works for root only
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// User and system time of a process, in clock ticks.
long CpuTicksOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stol(field);
  }
  return ticks;
}

unsigned OwnDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  return static_cast<unsigned>(std::min<rlim_t>(limit.rlim_cur, 1u << 20));
}

struct Row {
  const char* name;
  std::vector<std::string> options;
  std::vector<std::string> launcher;
  // Sets the crowd on the host; the normal client comes after.
  std::function<void(HostProcess&, Crowd&)> crowd;
  // What must hold once the normal client was answered.
  std::function<void(HostProcess&, Crowd&)> then;
};

std::string Head(const HostProcess& host, const std::string& query) {
  return "GET " + host.path() + "?" + query + " HTTP/1.1\r\nHost: x\r\n\r\n";
}

void Send(int fd, const std::string& bytes) {
  EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

TEST(HostUnderPressureTest, NormalClientsAreAnsweredWhateverTheCrowdDoes) {
  RaiseOwnDescriptorLimit(12000);
  // As many idle connections as this process can open, up to 10 000.
  const unsigned idle = std::min(10000u, OwnDescriptorLimit() - 200);
  std::cout << "idle connections: " << idle << "\n";

  const std::vector<Row> rows = {
      {"clients that leave in the middle of a head",
       {},
       {},
       [](HostProcess& host, Crowd&) {
         const int before = OpenSocketsOf(host.process().pid());
         for (int i = 0; i < 1100; ++i) {
           const int fd = ConnectLoopback(host.port());
           ASSERT_GE(fd, 0);
           Send(fd, "GET " + host.path() + "?varUserRe");
           close(fd);
         }
         EXPECT_TRUE(WaitUntil([&] { return OpenSocketsOf(host.process().pid()) <= before; }, 3s))
             << "still holding " << OpenSocketsOf(host.process().pid()) - before << " connections";
       },
       nullptr},
      {"clients that send their head a byte at a time",
       {"--head-timeout", "2"},
       {},
       [](HostProcess& host, Crowd& crowd) {
         for (int i = 0; i < 1100; ++i) {
           crowd.fds.push_back(ConnectLoopback(host.port()));
           ASSERT_GE(crowd.fds.back(), 0);
           Send(crowd.fds.back(), "G");
         }
       },
       [](HostProcess&, Crowd& crowd) {
         // One more byte each, well within the deadline, changes nothing.
         for (const int fd : crowd.fds) send(fd, "E", 1, MSG_NOSIGNAL);
         EXPECT_TRUE(WaitUntil([&] { return std::all_of(crowd.fds.begin(), crowd.fds.end(), ClosedByHost); }, 6s))
             << "connections past their head deadline are still open";
       }},
      {"idle connections by the thousand",
       {},
       {},
       [idle](HostProcess& host, Crowd& crowd) {
         for (unsigned i = 0; i < idle; ++i) {
           crowd.fds.push_back(ConnectLoopback(host.port()));
           ASSERT_GE(crowd.fds.back(), 0) << "connection " << i;
         }
         EXPECT_TRUE(WaitUntil([&] { return OpenSocketsOf(host.process().pid()) >= static_cast<int>(idle); }, 10s));
       },
       [](HostProcess&, Crowd& crowd) {
         EXPECT_EQ(std::count_if(crowd.fds.begin(), crowd.fds.end(), ClosedByHost), 0);
       }},
      {"more connections than descriptors",
       {},
       {"/usr/bin/prlimit", "--nofile=256:256"},
       [](HostProcess& host, Crowd& crowd) {
         for (int i = 0; i < 400; ++i) crowd.fds.push_back(ConnectLoopback(host.port()));
         // Those over the limit are told so and let go, not left waiting.
         int refused = 0;
         for (const int fd : crowd.fds) {
           refused += StatusLine(fd, 20ms).starts_with("HTTP/1.1 503");
         }
         EXPECT_GT(refused, 100);
         EXPECT_LT(refused, 300) << "the limit keeps the reserve, not more";
         // Room again once some leave.
         for (int i = 0; i < 50; ++i) {
           close(crowd.fds.back());
           crowd.fds.pop_back();
         }
         EXPECT_TRUE(WaitUntil([&] { return HttpFetch(host.port(), "GET", host.path() + "?mode=sync").status == 200; },
                               5s));
       },
       [](HostProcess& host, Crowd&) {
         const std::string output = host.process().Output();
         EXPECT_NE(output.find("connection limit reached"), std::string::npos) << output;
         EXPECT_LT(std::count(output.begin(), output.end(), '\n'), 20) << "the log is flooded";
       }},
      {"a module that took the reserve of descriptors",
       {"--metrics", "127.0.0.1:0"},
       {"/usr/bin/prlimit", "--nofile=256:256"},
       [](HostProcess& host, Crowd& crowd) {
         ASSERT_EQ(host.Get("mode=hog&count=150").body, "150");
         // Accept now fails for want of descriptors, long before the
         // connection limit: each one is refused, without a busy loop.
         for (int i = 0; i < 150; ++i) crowd.fds.push_back(ConnectLoopback(host.port()));
         int refused = 0;
         for (const int fd : crowd.fds) refused += StatusLine(fd, 20ms).starts_with("HTTP/1.1 503");
         EXPECT_GT(refused, 0);
         // A scrape now waits for a descriptor too, and costs no spinning meanwhile.
         const int scrape = ConnectLoopback(host.metrics_port());
         ASSERT_GE(scrape, 0);
         Send(scrape, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
         const long before = CpuTicksOf(host.process().pid());
         EXPECT_EQ(StatusLine(scrape, 1s), "");
         EXPECT_LT(CpuTicksOf(host.process().pid()) - before, sysconf(_SC_CLK_TCK) / 4) << "a second of waiting";
         for (const int fd : crowd.fds) close(fd);
         crowd.fds.clear();
         EXPECT_TRUE(WaitUntil([&] { return host.Get("mode=hog&count=0").body == "0"; }, 5s));
         EXPECT_TRUE(StatusLine(scrape, 3s).starts_with("HTTP/1.1 200"));
         close(scrape);
       },
       [](HostProcess& host, Crowd&) {
         const std::string output = host.process().Output();
         EXPECT_NE(output.find("out of file descriptors"), std::string::npos) << output;
         EXPECT_LT(std::count(output.begin(), output.end(), '\n'), 20) << "the log is flooded";
       }},
      {"one address hoarding connections",
       {"--max-connections-per-address", "4"},
       {},
       [](HostProcess& host, Crowd& crowd) {
         for (int i = 0; i < 5; ++i) crowd.fds.push_back(ConnectLoopback(host.port(), "127.0.0.2"));
         EXPECT_TRUE(StatusLine(crowd.fds.back(), 2s).starts_with("HTTP/1.1 503"));
         Send(crowd.fds.front(), Head(host, "mode=sync"));
         EXPECT_TRUE(StatusLine(crowd.fds.front(), 300ms).starts_with("HTTP/1.1 200"));
       },
       nullptr},
      {"module calls blocked on their back end",
       {"--pending-timeout", "1"},
       {},
       [](HostProcess& host, Crowd& crowd) {
         for (int i = 0; i < 60; ++i) {
           crowd.fds.push_back(ConnectLoopback(host.port()));
           Send(crowd.fds.back(), Head(host, "mode=sync&block=5000"));
         }
       },
       [](HostProcess&, Crowd& crowd) {
         // The pending timeout counts the time inside the module.
         const auto start = Clock::now();
         for (const int fd : crowd.fds) EXPECT_TRUE(StatusLine(fd, 4s).starts_with("HTTP/1.1 504"));
         EXPECT_LT(Clock::now() - start, 4s);
       }},
  };

  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HostProcess host(PROBE_MODULE_PATH, row.options, row.launcher);
    ASSERT_TRUE(host.ready()) << host.process().Output();
    {
      Crowd crowd;
      row.crowd(host, crowd);
      const auto asked = Clock::now();
      const auto normal = HttpFetch(host.port(), "GET", host.path() + "?mode=sync", {}, {}, 10s);
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
      EXPECT_EQ(normal.status, 200) << normal.raw;
      // Locked out, a client waits for the crowd's timeouts: seconds, not this.
      EXPECT_LT(took, 1500ms);
      if (row.then) row.then(host, crowd);
    }
    EXPECT_EQ(host.Stop(), 0) << host.process().Output();
  }
}

}  // namespace
