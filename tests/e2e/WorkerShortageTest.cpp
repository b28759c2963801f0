// A module on worker threads that cannot start another one (its user's
// process limit reached) still answers every request it sent with what the
// back end did: a voice call the back end queued is never reported failed,
// which would have the voice application queue it a second time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <regex>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"

namespace {

constexpr int kCalls = 30;

TEST(WorkerShortageTest, EveryRequestSentGetsTheBackEndsAnswer) {
  // The limit binds only a user without the right to exceed it.
  if (geteuid() != 0) GTEST_SKIP() << "runs the host as nobody, which needs root";
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  TempDir site;
  sim.InstallSite(QUORVIX_SITE_DIR, site.path());
  ASSERT_EQ(chmod(site.path().c_str(), 0777), 0);  // the trace file is written as nobody
  // Every answer waits: each pending request wants a worker of its own.
  ASSERT_EQ(sim.Control("fault delay 300 0"), "");
  HostProcess host(site.path() + "quorvix.so", {"--no-loop-service", "--no-access-log"},
                   {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/prlimit",
                    "--nproc=20", "--"});
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
