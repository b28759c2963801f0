// The event-loop service the host offers its module, seen through the probe
// module: a wait calls back once, on the request's loop, for the event that
// came; a host told not to offer it refuses the request number as a web
// server does an unknown one; a request the host gives up reports that to
// its wait.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

struct LoopWaitRow {
  const char* name;
  std::vector<std::string> options;
  const char* query;
  int status;
  const char* body;
};

TEST(LoopService, CallsBackOnTheRequestsLoopForWhatCame) {
  const std::vector<std::string> one_loop = {"--threads", "1"};
  const LoopWaitRow rows[] = {
      {"deadline", one_loop, "mode=loop&wait=deadline&ms=30", 200, "events=4 same-thread"},
      {"deadline passed", one_loop, "mode=loop&wait=deadline&ms=-5", 200, "events=4 same-thread"},
      {"readable", one_loop, "mode=loop&wait=readable&ms=30", 200, "events=1 read=1 same-thread"},
      {"withheld", {"--no-loop-service"}, "mode=loop&wait=deadline&ms=1", 200, "no service, error 87"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HostProcess host(PROBE_MODULE_PATH, row.options);
    // The second time, the probe's descriptor carries the number of the one
    // it closed after the first: the loop must not take it for the old one.
    for (const char* time : {"first", "again"}) {
      SCOPED_TRACE(time);
      const auto response = host.Get(row.query);
      EXPECT_EQ(response.status, row.status);
      EXPECT_EQ(response.body, row.body);
    }
  }
}

TEST(LoopService, AGivenUpRequestIsReportedToItsWait) {
  HostProcess host(PROBE_MODULE_PATH, {"--pending-timeout", "1"});
  EXPECT_EQ(host.Get("mode=loop&wait=forever").status, 504);
  EXPECT_TRUE(WaitUntil([&] { return host.Get("mode=loopstate").body == "abandoned=1"; }, 5s));
}

}  // namespace
