// What an operator reads does not depend on how the host runs the module:
// the same scripted requests, once with the host's event-loop service and
// once without it (a worker thread per pending request), give the same
// pages, the same trace lines in the same order and the same diagnostics
// records, once times, thread ids, ports, session ids and addresses are
// taken out.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

struct Step {
  enum class Kind { kGet, kPost, kSim, kCloseIdle };
  Kind kind;
  std::string text;  // query, body or simulator command; "{session}" stands for the chat's
};

struct Row {
  const char* name;
  std::vector<Step> steps;
  // Whether the pool's own lines must match too. The loop path leaves the
  // room of a broken connection to the next borrower, where a worker's pool
  // connects a replacement inside the give-back, so rows that break a
  // connection differ in those lines (and in the socket counts they show).
  bool poolLines = true;
  // Only the pages: a send that fails after it had to wait is answered by
  // the response handler on the loop, by the request handler on a worker,
  // with the same code but other lines and records.
  bool pagesOnly = false;
};

// What one run showed, normalised.
struct Seen {
  std::vector<std::string> pages;  // status and body of each request
  std::vector<std::string> trace;
  std::vector<std::string> records;
  std::vector<std::string> statistics;
  bool heartbeat = false;  // the diagnostics thread's own exchange came in between
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

std::string Replace(std::string text, const std::regex& pattern, const std::string& with) {
  return std::regex_replace(text, pattern, with);
}

// Hex tokens (socket handles, object addresses, request ids) numbered by
// first appearance, so that the same object reads the same on both paths.
class Tokens {
 public:
  std::string operator()(const std::string& line) {
    static const std::regex kHex(R"(\b[0-9A-F]{8,16}\b|\b\d{9,10}\b)");
    std::string out;
    auto last = line.cbegin();
    for (std::sregex_iterator it(line.begin(), line.end(), kHex), end; it != end; ++it) {
      out.append(last, line.cbegin() + it->position());
      auto [found, added] = names_.emplace(it->str(), "#" + std::to_string(names_.size() + 1));
      out += found->second;
      last = line.cbegin() + it->position() + it->length();
    }
    out.append(last, line.cend());
    return out;
  }

 private:
  std::map<std::string, std::string> names_;
};

std::string WithoutSessions(const std::string& text) {
  static const std::regex kSession(R"(S\d{6}-[0-9A-F]{8})");
  return Replace(text, kSession, "<session>");
}

// The lines of a part of the trace, without those of the diagnostics thread
// (a line without a thread belongs to the line before it). by_thread puts
// each thread's lines after those of the threads that wrote first: a worker
// thread reads the answer while the request's thread still finishes its call.
std::vector<std::string> RequestLines(const std::string& part, bool pool_lines, bool by_thread) {
  static const std::regex kPrefix(R"((\d+\.\d{3}) ([0-9A-F]{4,8}) )");
  std::vector<std::pair<std::string, std::vector<std::string>>> threads;
  std::vector<std::string>* current = nullptr;
  std::vector<std::pair<std::string, std::string>> in_order;  // thread, line
  std::string current_thread;
  const std::string text = WithoutSessions(part);
  auto last = text.cbegin();
  const auto add = [&](std::string lines) {
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
      if (line.empty()) continue;
      if (current == nullptr) {
        threads.emplace_back("", std::vector<std::string>());
        current = &threads.back().second;
      }
      current->push_back(line);
      in_order.emplace_back(current_thread, line);
    }
  };
  for (std::sregex_iterator it(text.begin(), text.end(), kPrefix), end; it != end; ++it) {
    add(std::string(last, text.cbegin() + it->position()));
    const std::string thread = (*it)[2].str();
    auto found = std::find_if(threads.begin(), threads.end(), [&](const auto& t) { return t.first == thread; });
    if (found == threads.end()) {
      threads.emplace_back(thread, std::vector<std::string>());
      found = threads.end() - 1;
    }
    current = &found->second;
    current_thread = thread;
    last = text.cbegin() + it->position() + it->length();
  }
  add(std::string(last, text.cend()));
  static const std::regex kClock(R"(time:\S+ \S+)");
  static const std::regex kPort(R"((port[=:]? ?)\d+)");
  static const std::regex kStart(R"(started at \S+ from \S+)");
  static const std::regex kThreadOnly(R"(^[0-9A-F]{4,8} )");
  // How long an answer took depends on the machine's load, most of all
  // under a sanitizer; the rows compare what happened, not how fast.
  static const std::regex kTaking(R"(taking \d+ seconds)");
  std::vector<std::string> request_threads;
  std::vector<std::string> grouped;
  for (auto& [thread, own] : threads) {
    // The diagnostics thread's heartbeats and reports come whenever they are due.
    const bool request = std::any_of(own.begin(), own.end(), [](const std::string& line) {
      return line.find("CallFunction entered") != std::string::npos ||
             line.find("AsyncThreadProc") != std::string::npos || line.find("GetExtensionVersion") != std::string::npos;
    });
    if (!request) continue;
    request_threads.push_back(thread);
    grouped.insert(grouped.end(), own.begin(), own.end());
  }
  std::vector<std::string> ordered;
  for (const auto& [thread, line] : in_order) {
    if (std::find(request_threads.begin(), request_threads.end(), thread) != request_threads.end()) {
      ordered.push_back(line);
    }
  }
  std::vector<std::string> lines;
  {
    for (auto& line : by_thread ? grouped : ordered) {
      if (!pool_lines && (line.starts_with("Pool<type>::") || line.find("m_freeList.size") != std::string::npos)) {
        continue;
      }
      line = Replace(Replace(Replace(Replace(line, kThreadOnly, ""), kClock, "time:<now>"), kPort, "$1<port>"), kStart,
                     "started");
      line = Replace(line, kTaking, "taking <n> seconds");
      lines.push_back(line);
    }
  }
  return lines;
}

std::vector<std::string> Statistics(const std::string& trace) {
  std::vector<std::string> lines;
  std::istringstream in(trace.substr(std::min(trace.size(), trace.rfind("Socket Pool Statistics"))));
  for (std::string line; std::getline(in, line);) {
    if (line.find("Total run time") == std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Records(const std::vector<std::string>& reports) {
  static const std::regex kWhen(R"(\w+, \w+ \d+, \d+ - \d+:\d+:\d+)");
  std::vector<std::string> records;
  for (const auto& report : reports) {
    std::string rest = WithoutSessions(Replace(report, kWhen, "<when>"));
    for (auto at = rest.find(" | "); !rest.empty(); at = rest.find(" | ")) {
      records.push_back(rest.substr(0, at));
      rest = at == std::string::npos ? std::string() : rest.substr(at + 3);
    }
  }
  return records;
}

Seen RunRow(const Row& row, bool loop) {
  Seen seen;
  SimProcess sim;
  EXPECT_TRUE(sim.ready());
  TempDir site;
  sim.InstallSite(QUORVIX_SITE_DIR, site.path());
  {
    std::string ini = ReadFile(site.path() + "RAVO.ini");
    ini = Replace(ini, std::regex("THRESHOLD=\\d+"), "THRESHOLD=103");
    ini = Replace(ini, std::regex("TIME_INTERVAL_SEC=\\d+"), "TIME_INTERVAL_SEC=3600");
    std::ofstream(site.path() + "RAVO.ini", std::ios::trunc) << ini;
  }
  HostProcess host(site.path() + "quorvix.so", {"--no-access-log", loop ? "--loop-service" : "--no-loop-service",
                                                "--max-body-bytes", "33554432"});
  EXPECT_TRUE(host.ready()) << host.process().Output();
  if (!host.ready()) return seen;
  const std::string trace_path = site.path() + "debug.txt";
  std::vector<std::size_t> boundaries;
  std::size_t answered = 0;
  const auto request = [&](const HttpResponse& response) {
    seen.pages.push_back(std::to_string(response.status) + " " + WithoutSessions(response.body));
    // A worker thread writes its last lines after the answer has gone; an
    // exchange that failed in the call has none.
    ++answered;
    EXPECT_TRUE(WaitUntil([&] {
      const std::string trace = ReadFile(trace_path);
      return Count(trace, "AsyncThreadProc: Exiting") + Count(trace, "CommunicateWithVEKACS: Exiting unsuccessfully") >=
             answered;
    })) << row.name << ": request " << answered;
    boundaries.push_back(ReadFile(trace_path).size());
  };
  const auto start = host.Post("varUserRequest=REQ_JS_START&varCustomerName=Ann&varCaption=Q"
                               "&varUserLanguage=en&varBusinessUnitName=Sales");
  const auto at = start.body.find("data-session=\"");
  const std::string session = at == std::string::npos ? "" : start.body.substr(at + 14, 16);
  EXPECT_EQ(session.size(), 16u) << start.body;
  request(start);
  for (const Step& step : row.steps) {
    const std::string text = std::regex_replace(step.text, std::regex("\\{session\\}"), session);
    switch (step.kind) {
      case Step::Kind::kGet:
        request(host.Get(text));
        break;
      case Step::Kind::kPost:
        request(host.Post(text));
        break;
      case Step::Kind::kSim:
        EXPECT_EQ(sim.Control(text), "") << text;
        break;
      case Step::Kind::kCloseIdle:
        EXPECT_NE(sim.Control("close-idle"), "closed=0\n");
        EXPECT_TRUE(WaitUntil([&] { return sim.OpenConnections() == 0; }));
        break;
    }
  }
  EXPECT_EQ(host.Stop(), 0) << host.process().Output();
  const std::string trace = ReadFile(trace_path);
  // Every trace line ends before the next one begins.
  static const std::regex kLineStart(R"(\.\d{3} [0-9A-F]{4,8} CRAVOExtension::)");
  std::istringstream trace_lines(trace);
  for (std::string line; std::getline(trace_lines, line);) {
    EXPECT_LE(std::distance(std::sregex_iterator(line.begin(), line.end(), kLineStart), std::sregex_iterator()), 1)
        << line;
  }
  seen.heartbeat = trace.find("a heart beat sent") != std::string::npos;
  std::size_t from = 0;
  boundaries.push_back(trace.size());
  Tokens tokens;
  for (const std::size_t to : boundaries) {
    // A worker's lines race the call's end; on the loop the module orders them.
    for (const auto& line : RequestLines(trace.substr(from, to - from), row.poolLines, !loop)) {
      // Which descriptor a connection gets follows from the replacements too.
      seen.trace.push_back(row.poolLines ? tokens(line) : Replace(tokens(line), std::regex("#\\d+"), "#"));
    }
    from = to;
  }
  seen.statistics = Statistics(trace);
  seen.records = Records(sim.ControlLines("reports"));
  EXPECT_EQ(sim.Stop(), 0);
  return seen;
}

void ExpectSameLines(const char* what, const std::vector<std::string>& worker, const std::vector<std::string>& loop) {
  const std::size_t common = std::min(worker.size(), loop.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (worker[i] != loop[i]) {
      ADD_FAILURE() << what << " line " << i + 1 << " differs:\n  worker: " << worker[i] << "\n  loop:   " << loop[i];
      return;
    }
  }
  EXPECT_EQ(worker.size(), loop.size()) << what << ": first extra line: "
                                        << (worker.size() > common ? "worker: " + worker[common]
                                                                   : loop.size() > common ? "loop: " + loop[common]
                                                                                          : std::string());
}

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class TraceParityTest : public ::testing::TestWithParam<Row> {};

TEST_P(TraceParityTest, BothPathsWriteTheSameTraceRecordsAndPages) {
  Row row = GetParam();
  Seen worker = RunRow(row, false);
  Seen loop = RunRow(row, true);
  // The diagnostics thread's first heartbeat (5 s after start) borrows from
  // the pool too: its own lines are left out, but the requests' lines then
  // show other pool counts, and it adds records. A run that slow (a loaded
  // machine, a sanitizer) goes again; if the heartbeat comes again, only what
  // it cannot touch is compared.
  if (worker.heartbeat || loop.heartbeat) {
    std::printf("note: %s: a heartbeat came in between; running the row again\n", row.name);
    worker = RunRow(row, false);
    loop = RunRow(row, true);
    if (worker.heartbeat || loop.heartbeat) {
      std::printf("note: %s: a heartbeat came in between again; pool lines, records and statistics not compared\n",
                  row.name);
      row.poolLines = false;
      worker = RunRow(row, false);
      loop = RunRow(row, true);
    }
  }
  ASSERT_FALSE(worker.trace.empty());
  EXPECT_EQ(worker.pages, loop.pages);
  if (row.pagesOnly) return;
  ExpectSameLines("trace", worker.trace, loop.trace);
  if (worker.heartbeat || loop.heartbeat) return;
  // A record tells no thread, and a worker's records race the end of the
  // call that handed it the request: the same records, in whatever order.
  std::vector<std::string> worker_records = worker.records;
  std::vector<std::string> loop_records = loop.records;
  std::sort(worker_records.begin(), worker_records.end());
  std::sort(loop_records.begin(), loop_records.end());
  ExpectSameLines("records (sorted)", worker_records, loop_records);
  if (row.poolLines) ExpectSameLines("statistics", worker.statistics, loop.statistics);
}

const std::string kPoll = "varUserRequest=REQ_DELTA_CHAT&varSessionID={session}&varIndexKey=0&varUserLanguage=en";

INSTANTIATE_TEST_SUITE_P(
    Rows, TraceParityTest,
    ::testing::Values(
        Row{"exchanges",
            {{Step::Kind::kGet, kPoll},
             {Step::Kind::kPost,
              "varUserRequest=REQ_ADD_TO_CHAT&varSessionID={session}&varChatData=hello&varIndexKey=0"
              "&varUserLanguage=en"},
             {Step::Kind::kGet, "varUserRequest=REQ_CALLBACK_AVAILABILITY&varUserLanguage=en&varBusinessUnitName=Sales"},
             {Step::Kind::kGet, "varUserRequest=REQ_VXML_INITIALIZE&varUniqueID=u1&varANI=123&varDNIS=456"},
             {Step::Kind::kPost, "varUserRequest=REQ_HANG_UP&varSessionID={session}&varUserLanguage=en"}}},
        Row{"closed_pooled_connections_skipped", {{Step::Kind::kCloseIdle, ""}, {Step::Kind::kGet, kPoll}}, false},
        Row{"back_end_down", {{Step::Kind::kSim, "fault down 1"}, {Step::Kind::kGet, kPoll}}, false},
        Row{"garbage_length", {{Step::Kind::kSim, "fault length 3 1"}, {Step::Kind::kGet, kPoll}}, false},
        // As much as the module takes (4 MB): more than loopback's socket
        // buffers hold while the back end reads nothing.
        Row{"send_waits_for_the_back_end_to_read",
            {{Step::Kind::kSim, "fault stall 300 1 type 40"},
             {Step::Kind::kPost, "varUserRequest=REQ_ADD_TO_CHAT&varSessionID={session}&varIndexKey=0"
                                 "&varUserLanguage=en&varChatData=" + std::string((4 << 20) - 200, 'x')}}},
        Row{"send_fails_while_it_waits",
            {{Step::Kind::kSim, "fault stall-close 300 1 type 40"},
             {Step::Kind::kPost, "varUserRequest=REQ_ADD_TO_CHAT&varSessionID={session}&varIndexKey=0"
                                 "&varUserLanguage=en&varChatData=" + std::string((4 << 20) - 200, 'x')}},
            false,
            true}),
    [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
