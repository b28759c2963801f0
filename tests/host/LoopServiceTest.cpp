// The event-loop service the host offers its module, seen through the probe
// module: a wait calls back once, on the request's loop, for the event that
// came; a host told not to offer it refuses the request number as a web
// server does an unknown one; a request the host gives up reports that to
// its wait.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/HttpClient.h"
#include "support/MetricsSamples.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

// How often the host has handed a loop to another thread, having found the
// call inside it blocked, as its metrics count; -1 without them. The loop's
// callbacks then run on its new thread.
double LoopsHandedOn(const HostProcess& host) {
  if (host.metrics_port() == 0) return -1;
  const auto samples = ParseSamples(HttpFetch(host.metrics_port(), "GET", "/metrics", {}, {}, 5s).body);
  return Sum(samples, "quorvix_module_calls_blocking_total");
}

struct LoopWaitRow {
  const char* name;
  std::vector<std::string> options;
  const char* query;
  int status;
  const char* body;
};

TEST(LoopService, CallsBackOnTheRequestsLoopForWhatCame) {
  const std::vector<std::string> one_loop = {"--threads", "1", "--metrics", "127.0.0.1:0"};
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
      const double handed_on = LoopsHandedOn(host);
      const auto response = host.Get(row.query);
      EXPECT_EQ(response.status, row.status);
      std::string expected = row.body;
      const auto same = expected.find("same-thread");
      if (same != std::string::npos && LoopsHandedOn(host) > handed_on) expected.replace(same, 4, "other");
      EXPECT_EQ(response.body, expected);
    }
  }
}

// A call is handed on only when its thread is blocked in it: one that
// computes (or is preempted) past the watchdog's first look keeps its loop.
TEST(LoopService, OnlyACallThatBlocksHasItsLoopHandedOn) {
  HostProcess host(PROBE_MODULE_PATH, {"--threads", "1", "--metrics", "127.0.0.1:0"});
  struct HandOverRow {
    const char* name;
    const char* query;
    bool handed_on;
  };
  for (const HandOverRow& row : {HandOverRow{"a call that sleeps", "mode=sync&block=300", true},
                                 HandOverRow{"a call that computes", "mode=sync&spin=6", false}}) {
    SCOPED_TRACE(row.name);
    const double before = LoopsHandedOn(host);
    ASSERT_GE(before, 0);
    EXPECT_EQ(host.Get(row.query).status, 200);
    EXPECT_EQ(LoopsHandedOn(host) > before, row.handed_on);
  }
}

TEST(LoopService, AGivenUpRequestIsReportedToItsWait) {
  HostProcess host(PROBE_MODULE_PATH, {"--pending-timeout", "1"});
  EXPECT_EQ(host.Get("mode=loop&wait=forever").status, 504);
  EXPECT_TRUE(WaitUntil([&] { return host.Get("mode=loopstate").body == "abandoned=1"; }, 5s));
}

}  // namespace
