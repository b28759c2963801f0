// A module on worker threads that cannot start another one (its user's
// process limit reached) still answers every request it sent with what the
// back end did: a voice call the back end queued is never reported failed,
// which would have the voice application queue it a second time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/HostProcess.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

constexpr int kCalls = 30;

// Whether another user may run the program at path: every folder on the way
// open to others as well.
bool OthersMayRun(std::string path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) return false;
  for (auto slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/')) {
    path.resize(slash);
    if (stat(path.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) return false;
  }
  return true;
}

// The host run as nobody with its process limit at processes.
std::vector<std::string> AsNobodyWithin(int processes) {
  // The leak check of a sanitizer build needs a thread of its own at the
  // exit, which the limit would refuse.
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  return {"/usr/bin/env",
          std::string("ASAN_OPTIONS=") + (sanitizer != nullptr ? std::string(sanitizer) + ":" : "") + "detect_leaks=0",
          "/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/prlimit",
          "--nproc=" + std::to_string(processes), "--"};
}

// The limit binds only a user without the right to exceed it.
#define SKIP_UNLESS_NOBODY_CAN_RUN_THE_HOST()                                                            \
  if (geteuid() != 0) GTEST_SKIP() << "runs the host as nobody, which needs root";                      \
  if (!OthersMayRun(HostBinaryPath())) GTEST_SKIP() << "nobody may not run " << HostBinaryPath()

// Without threads for its loops the host says so and ends.
TEST(WorkerShortageTest, AHostThatCannotStartItsLoopsSaysSoInOneLine) {
  SKIP_UNLESS_NOBODY_CAN_RUN_THE_HOST();
  TempDir site;
  std::filesystem::copy(QUORVIX_SITE_DIR, site.path(), std::filesystem::copy_options::recursive);
  ASSERT_EQ(chmod(site.path().c_str(), 0777), 0);
  std::vector<std::string> argv = AsNobodyWithin(2);
  for (const std::string& word : {HostBinaryPath(), std::string("--module"), site.path() + "quorvix.so",
                                  std::string("--listen"), std::string("127.0.0.1:0")}) {
    argv.push_back(word);
  }
  ChildProcess host(argv);
  EXPECT_EQ(host.Stop(0, 20s), 1);
  const std::string output = host.Output();
  EXPECT_EQ(output, "quorvix-host: cannot start the event loops' threads: Resource temporarily unavailable\n");
}

TEST(WorkerShortageTest, EveryRequestSentGetsTheBackEndsAnswer) {
  SKIP_UNLESS_NOBODY_CAN_RUN_THE_HOST();
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  TempDir site;
  sim.InstallSite(QUORVIX_SITE_DIR, site.path());
  ASSERT_EQ(chmod(site.path().c_str(), 0777), 0);  // the trace file is written as nobody
  // Every answer waits: each pending request wants a worker of its own.
  ASSERT_EQ(sim.Control("fault delay 300 0"), "");
  HostProcess host(site.path() + "quorvix.so", {"--no-loop-service", "--no-access-log"}, AsNobodyWithin(20));
  ASSERT_TRUE(host.ready()) << host.process().Output();

  std::vector<std::future<HttpResponse>> answers;
  for (int i = 0; i < kCalls; ++i) {
    answers.push_back(std::async(std::launch::async, [&host, i] {
      return host.Get("varUserRequest=REQ_VXML_INITIALIZE&varUniqueID=u" + std::to_string(i) +
                      "&varANI=030&varDNIS=0800");
    }));
  }
  static const std::regex kReturnCode(R"(name="returnCode" expr="'([^']*)')");
  for (auto& answer : answers) {
    const HttpResponse page = answer.get();
    std::smatch code;
    ASSERT_TRUE(std::regex_search(page.body, code, kReturnCode)) << page.raw;
    EXPECT_EQ(code[1].str(), "0") << page.body;
  }
  EXPECT_EQ(sim.ControlLines("voice calls").size(), static_cast<std::size_t>(kCalls));
  // Else the shortage this is about never came.
  EXPECT_NE(site.Read("debug.txt").find("Cannot create worker thread"), std::string::npos);
  EXPECT_EQ(host.Stop(), 0) << host.process().Output();
}

}  // namespace
