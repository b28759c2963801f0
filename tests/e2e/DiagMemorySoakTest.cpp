// Sustained load through quorvix-host while the back end refuses every
// diagnostics report: the module's memory must stay flat (the record limits
// hold) and the host must keep answering. QUORVIX_SOAK_SECONDS sets the
// length of the load (30 by default). The host's memory settles within the
// first ten seconds; records kept without their limit would grow it by some
// 20 MB a second here, and a leak of 100 bytes a request passes the bound
// within the twenty seconds measured.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/HostProcess.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

long ResidentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// Requests over one kept-open connection until stop; counts answers and
// failures.
void KeepAliveLoad(unsigned short port, const std::string& target, std::atomic<bool>& stop,
                   std::atomic<long>& answered, std::atomic<long>& failed) {
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  int fd = -1;
  std::string pending;
  char buffer[65536];
  while (!stop) {
    if (fd < 0) {
      fd = ConnectLoopback(port);
      pending.clear();
      if (fd < 0) {
        ++failed;
        std::this_thread::sleep_for(10ms);
        continue;
      }
    }
    HttpResponse response;
    bool ok = send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    while (ok && !ParseHttpResponse(pending, response)) {
      pollfd wait{fd, POLLIN, 0};
      const ssize_t count = poll(&wait, 1, 10000) > 0 ? recv(fd, buffer, sizeof buffer, 0) : -1;
      if (count <= 0) ok = false;
      else pending.append(buffer, static_cast<std::size_t>(count));
    }
    if (ok && response.status == 200) {
      ++answered;
    } else {
      ++failed;
      close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) close(fd);
}

TEST(DiagMemorySoakTest, MemoryStaysFlatWhileTheBackEndRefusesEveryReport) {
  const char* configured = std::getenv("QUORVIX_SOAK_SECONDS");
  const auto duration = std::chrono::seconds(configured != nullptr ? std::atoi(configured) : 30);
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  ASSERT_EQ(sim.Control("fault refuse-diag 0"), "");
  TempDir site;
  sim.InstallSite(QUORVIX_SITE_DIR, site.path());
  // The defaults: threshold 101 (every entry and exit recorded), interval 0,
  // record limit 100, no trace file.
  std::ifstream original(site.path() + "RAVO.ini");
  std::string ini;
  for (std::string line; std::getline(original, line);) {
    if (line.rfind("THRESHOLD=", 0) == 0 || line.rfind("TIME_INTERVAL_SEC=", 0) == 0 ||
        line.rfind("MAX_MEMORY=", 0) == 0 || line.rfind("DebugOutput=", 0) == 0) {
      continue;
    }
    ini += line + "\n";
  }
  original.close();
  site.Write("RAVO.ini", ini);

  HostProcess host(site.path() + "quorvix.so", {"--no-access-log"});
  ASSERT_TRUE(host.ready()) << host.process().Output();
  const pid_t pid = host.process().pid();

  std::atomic<bool> stop{false};
  std::atomic<long> answered{0};
  std::atomic<long> failed{0};
  std::vector<std::thread> clients;
  const std::vector<std::string> targets = {
      host.path() + "?varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en&varBusinessUnitName=Sales",
      host.path() + "?varUserRequest=REQ_STAT_PAGE&varPageName=GeneralError.htm&varUserLanguage=de",
      host.path() + "?varUserRequest=REQ_UNKNOWN&a=1&b=2&c=3",
  };
  for (int i = 0; i < 6; ++i) {
    clients.emplace_back(KeepAliveLoad, host.port(), targets[static_cast<std::size_t>(i) % targets.size()],
                         std::ref(stop), std::ref(answered), std::ref(failed));
  }
  const auto warm_up = std::min<std::chrono::seconds>(10s, duration / 3);
  std::this_thread::sleep_for(warm_up);
  const long baseline = ResidentKilobytes(pid);
  long peak = baseline;
  const auto end = std::chrono::steady_clock::now() + duration - warm_up;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(1s);
    peak = std::max(peak, ResidentKilobytes(pid));
  }
  const long final_rss = ResidentKilobytes(pid);
  const long answered_under_load = answered.load();
  stop = true;
  for (auto& client : clients) client.join();

  RecordProperty("baseline_rss_kb", static_cast<int>(baseline));
  RecordProperty("peak_rss_kb", static_cast<int>(peak));
  RecordProperty("final_rss_kb", static_cast<int>(final_rss));
  RecordProperty("requests", static_cast<int>(answered_under_load));
  std::printf("soak: %ld s, %ld requests answered, %ld failed; RSS baseline %ld kB, peak %ld kB, end %ld kB\n",
              static_cast<long>(duration.count()), answered_under_load, failed.load(), baseline, peak, final_rss);

  EXPECT_GT(answered_under_load, 1000);
  EXPECT_EQ(failed.load(), 0);
  EXPECT_LT(peak - baseline, 24 * 1024) << "memory grew under load";
  EXPECT_GT(sim.ControlLines("log").size(), 0u);
  EXPECT_EQ(host.Get("varUserRequest=REQ_WEBCHAT_MAIN").status, 200) << "still answering";
  EXPECT_EQ(host.Stop(), 0);
  EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
