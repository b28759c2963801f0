// Log rotation as logrotate does it: the access log and the module's trace
// file are renamed while requests keep coming, then SIGHUP makes the host
// start new files by the old names. Every request has its line in one file or
// the other: none lost, none doubled.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "support/CountOccurrences.h"
#include "support/HostProcess.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

// A host for a site on the simulator, writing its access log into logs_.
class LogRotationTest : public testing::Test {
 protected:
  bool Start() {
    if (!sim_.ready()) return false;
    sim_.InstallSite(QUORVIX_SITE_DIR, site_.path());
    host_ = HostProcess::ForSite(site_.path(), {"--access-log", logs_.path() + "access.log"});
    EXPECT_TRUE(host_->ready()) << host_->process().Output();
    return host_->ready();
  }

  SimProcess sim_;
  TempDir site_;
  TempDir logs_;
  std::unique_ptr<HostProcess> host_;
};

TEST_F(LogRotationTest, SighupAfterRenamingStartsNewFilesWithNoLineLost) {
  ASSERT_TRUE(Start());
  HostProcess* host = host_.get();
  TempDir& site = site_;
  TempDir& logs = logs_;

  // Requests one after another, until told to stop.
  std::atomic<int> answered{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::thread visitor([&] {
    while (!stop.load()) {
      if (host->Get("varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en&varBusinessUnitName=Sales").status != 200) {
        failed = true;
      }
      ++answered;
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return answered.load() >= 50; }, 30s));
  std::filesystem::rename(logs.path() + "access.log", logs.path() + "access.log.1");
  std::filesystem::rename(site.path() + "debug.txt", site.path() + "debug.txt.1");
  kill(host->process().pid(), SIGHUP);
  EXPECT_NE(host->process().WaitForLine("quorvix-host: log files reopened", 10s), "") << host->process().Output();
  const int at_reopen = answered.load();
  EXPECT_TRUE(WaitUntil([&] { return answered.load() >= at_reopen + 50; }, 30s));
  stop = true;
  visitor.join();
  EXPECT_FALSE(failed.load());
  EXPECT_EQ(host->Stop(), 0) << host->process().Output();

  const std::string request_line = "\"GET " + host->path() + "?varUserRequest=REQ_WEBCHAT_MAIN HTTP/1.1\" 200 ";
  const std::string trace_line = "CallFunction entered\n";
  const std::size_t old_access = CountOccurrences(logs.Read("access.log.1"), request_line);
  const std::size_t new_access = CountOccurrences(logs.Read("access.log"), request_line);
  const std::size_t old_trace = CountOccurrences(site.Read("debug.txt.1"), trace_line);
  const std::size_t new_trace = CountOccurrences(site.Read("debug.txt"), trace_line);
  EXPECT_EQ(old_access + new_access, static_cast<std::size_t>(answered.load()));
  EXPECT_EQ(old_trace + new_trace, static_cast<std::size_t>(answered.load()));
  EXPECT_GE(old_access, 50u);
  EXPECT_GE(new_access, 50u);
  EXPECT_GE(old_trace, 50u);
  EXPECT_GE(new_trace, 50u);
}

// A log that cannot be opened anew is said so, not reported reopened: the
// host writes on to the old file.
TEST_F(LogRotationTest, SighupThatCannotReopenTheAccessLogSaysSo) {
  ASSERT_TRUE(Start());
  HostProcess* host = host_.get();
  TempDir& logs = logs_;
  std::filesystem::rename(logs.path() + "access.log", logs.path() + "access.log.1");
  std::filesystem::create_directory(logs.path() + "access.log");  // in the way of the new file
  kill(host->process().pid(), SIGHUP);
  EXPECT_NE(host->process().WaitForLine("quorvix-host: log files not all reopened", 10s), "")
      << host->process().Output();
  EXPECT_EQ(host->process().Output().find("log files reopened"), std::string::npos);
  EXPECT_EQ(host->Get("varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en").status, 200);
  EXPECT_EQ(host->Stop(), 0) << host->process().Output();
}

}  // namespace
