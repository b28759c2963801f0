// quorvix-host as a process, with the probe module or the real module.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/HostProcess.h"
#include "support/HttpClient.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

class HostIntegrationTest : public ::testing::Test {
 protected:
  void StartProbe(std::vector<std::string> extra = {}) {
    host_ = std::make_unique<HostProcess>(PROBE_MODULE_PATH, std::move(extra));
    ASSERT_TRUE(host_->ready()) << host_->process().Output();
  }
  void TearDown() override {
    if (host_) {
      EXPECT_EQ(host_->Stop(), 0) << host_->process().Output();
    }
  }
  // Sends a request on a connection of its own and leaves it open.
  int Open(const std::string& query) const {
    const int fd = ConnectLoopback(host_->port());
    const std::string request = "GET " + host_->path() + "?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    EXPECT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    return fd;
  }
  static HttpResponse ReadAnswer(int fd, std::chrono::milliseconds timeout = 20s) {
    std::string raw;
    HttpResponse response;
    char buffer[8192];
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ParseHttpResponse(raw, response) && std::chrono::steady_clock::now() < deadline) {
      pollfd wait{fd, POLLIN, 0};
      if (poll(&wait, 1, 100) <= 0) continue;
      const auto count = recv(fd, buffer, sizeof buffer, 0);
      if (count <= 0) break;
      raw.append(buffer, static_cast<std::size_t>(count));
    }
    return response;
  }
  // What arrives on fd until the host closes it (closed) or nothing comes for
  // quiet; then fd is closed.
  static std::string ReadUntilClosed(int fd, std::chrono::milliseconds quiet, bool& closed) {
    std::string received;
    closed = false;
    char buffer[4096];
    for (pollfd wait{fd, POLLIN, 0}; !closed && poll(&wait, 1, static_cast<int>(quiet.count())) > 0;) {
      const auto count = recv(fd, buffer, sizeof buffer, 0);
      closed = count <= 0;
      if (!closed) received.append(buffer, static_cast<std::size_t>(count));
    }
    close(fd);
    return received;
  }
  // One of the probe module's counts (see mode=state in ProbeModule.cpp).
  int ProbeCount(const std::string& name) const {
    const std::string state = " " + host_->Get("mode=state").body;
    const auto at = state.find(" " + name + "=");
    return at == std::string::npos ? -1 : std::atoi(state.c_str() + at + name.size() + 2);
  }
  std::unique_ptr<HostProcess> host_;
};

TEST_F(HostIntegrationTest, SynchronousAnswersInOneOrManyWrites) {
  StartProbe();
  auto small = host_->Get("mode=sync");
  EXPECT_EQ(small.status, 200);
  EXPECT_EQ(small.body, "hello");
  EXPECT_EQ(small.headers["content-type"], "text/html");
  auto large = host_->Get("mode=sync&size=300000");
  EXPECT_EQ(large.status, 200);
  EXPECT_EQ(large.body, std::string(300000, 'x'));
}

TEST_F(HostIntegrationTest, HeadersOfTheModuleBecomeTheResponse) {
  StartProbe();
  auto response = host_->Get("mode=headers");
  EXPECT_EQ(response.status, 404);
  EXPECT_EQ(response.headers["x-probe"], "yes");
  EXPECT_EQ(response.headers["content-type"], "text/plain");
  EXPECT_EQ(response.headers["content-length"], "8") << "the module's own length is replaced";
  EXPECT_EQ(response.body, "not here");
}

TEST_F(HostIntegrationTest, PostBodiesReachTheModuleWholeAndTooLargeOnesGet413) {
  StartProbe({"--max-body-bytes", "200000"});
  const std::string body = "mode=echo&data=" + std::string(150000, 'd');
  auto echoed = host_->Post(body);
  EXPECT_EQ(echoed.status, 200);
  EXPECT_EQ(echoed.body.substr(0, echoed.body.find(':')), std::to_string(body.size()));
  auto refused = host_->Post("mode=echo&data=" + std::string(200001, 'd'));
  EXPECT_EQ(refused.status, 413);
  auto chunked = HttpExchangeRaw(host_->port(),
                                 "POST " + host_->path() + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                                 "Transfer-Encoding: chunked\r\n\r\n9\r\nmode=echo\r\n0\r\n\r\n");
  EXPECT_NE(chunked.find("\r\n\r\n9:mode=echo"), std::string::npos) << chunked;
}

// Every row is followed on its connection by a request that asks to close.
// A row whose framing is in doubt gets one 400 and the connection closed, so
// the follower, and anything hidden in the row's body, is never answered; a
// sound row is answered and so is the follower.
TEST_F(HostIntegrationTest, RequestsWithDoubtfulFramingGetOne400AndTheConnectionCloses) {
  StartProbe();
  const std::string path = host_->path();
  const std::string hidden = "GET " + path + "?mode=sync&size=7 HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string chunked_body = "9\r\nmode=sync\r\n0\r\n\r\n";
  const std::string post = "POST " + path + " HTTP/1.1\r\nHost: x\r\n";
  const std::string get = "GET " + path + "?mode=sync HTTP/1.1\r\n";
  const std::string follower = "GET " + path + "?mode=sync&size=3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  struct Row {
    const char* name;
    std::string request;
    int status;
    bool closes;
  };
  const std::vector<Row> rows = {
      {"two lengths, the first zero",
       "POST " + path + "?mode=sync HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: " +
           std::to_string(hidden.size()) + "\r\n\r\n" + hidden,
       400, true},
      {"the same length twice", post + "Content-Length: 9\r\nContent-Length: 9\r\n\r\nmode=sync", 400, true},
      {"length, then chunked", post + "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked_body, 400, true},
      {"chunked, then length", post + "Transfer-Encoding: chunked\r\nContent-Length: 30\r\n\r\n" + chunked_body, 400, true},
      {"unknown coding", post + "Transfer-Encoding: gzip\r\n\r\n" + chunked_body, 400, true},
      {"a coding before chunked", post + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunked_body, 400, true},
      {"chunked on two lines", post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked_body, 400, true},
      {"chunked in HTTP/1.0", "POST " + path + " HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked_body, 400, true},
      {"no Host in HTTP/1.1", get + "\r\n", 400, true},
      {"two Host lines", get + "Host: x\r\nHost: y\r\n\r\n", 400, true},
      {"space before the colon of Host", get + "Host : x\r\n\r\n", 400, true},
      {"space before another colon", get + "Host: x\r\nX-Trace-Id : 1\r\n\r\n", 400, true},
      {"tab before a colon", get + "Host: x\r\nX-Trace-Id\t: 1\r\n\r\n", 400, true},
      {"a negative length", post + "Content-Length: -5\r\n\r\n", 400, true},
      {"a length with letters", post + "Content-Length: 12abc\r\n\r\nmode=sync", 400, true},
      {"a length past 64 bits", post + "Content-Length: 18446744073709551617\r\n\r\n", 400, true},
      {"a list of lengths", post + "Content-Length: 9, 9\r\n\r\nmode=sync", 400, true},
      {"wrong path, two lengths", "POST /webchat/other.so HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: " +
           std::to_string(hidden.size()) + "\r\n\r\n" + hidden, 400, true},
      {"a space in the target", "GET " + path + "?mode=sync x HTTP/1.1\r\nHost: x\r\n\r\n", 400, true},
      {"lines ended by LF alone", "GET " + path + "?mode=sync HTTP/1.1\nHost: x\n\n", 400, true},
      {"a version that is no version", "GET " + path + "?mode=sync HTTP/1.1x\r\nHost: x\r\n\r\n", 400, true},
      {"another HTTP version", "GET " + path + "?mode=sync HTTP/2.0\r\nHost: x\r\n\r\n", 505, true},
      {"an empty line before the request line", "\r\n" + get + "Host: x\r\n\r\n", 200, false},
      {"sound GET", get + "Host: x\r\n\r\n", 200, false},
      {"sound chunked POST", post + "Transfer-Encoding: Chunked\r\n\r\n" + chunked_body, 200, false},
      {"sound POST with a length", post + "Content-Length: 9\r\n\r\nmode=sync", 200, false},
      {"HTTP/1.0 needs no Host", "GET " + path + "?mode=sync HTTP/1.0\r\n\r\n", 200, true},
      {"HTTP/1.0 asking to keep the connection", "GET " + path + "?mode=sync HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
       200, true},
      {"the client asks to close", get + "Host: x\r\nConnection: close\r\n\r\n", 200, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    bool closed = false;
    std::string received = HttpExchangeRaw(host_->port(), row.request + follower, 5s, &closed);
    EXPECT_TRUE(closed);
    std::vector<HttpResponse> responses;
    for (HttpResponse response; ParseHttpResponse(received, response);) responses.push_back(response);
    EXPECT_EQ(received, "") << "bytes after the last whole response";
    if (responses.empty()) {
      ADD_FAILURE() << "no answer";
      continue;
    }
    EXPECT_EQ(responses.front().status, row.status) << responses.front().raw;
    EXPECT_EQ(responses.size(), row.closes ? 1u : 2u);
    if (!row.closes && responses.size() == 2) {
      EXPECT_EQ(responses.back().body, "xxx");
    }
    for (std::size_t i = 0; i + 1 < responses.size(); ++i) {
      EXPECT_NE(responses[i].headers["connection"], "close") << "answered after a close";
    }
    if (row.closes) {
      EXPECT_EQ(responses.front().headers["connection"], "close") << "closed without saying so";
    }
  }
}

// A head over the limit is answered as soon as the limit is passed, without
// waiting for the rest of it: 414 while the request line is still arriving,
// 431 once the header lines are. So are a chunk's line and the trailer, which
// the host holds whole until they end (400), and chunk lines ended by LF
// alone, which never end for it (400).
TEST_F(HostIntegrationTest, LinesThatCannotBeTakenAreAnsweredAtOnce) {
  StartProbe({"--max-header-bytes", "2048"});
  const std::string chunked = "POST " + host_->path() + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string long_line = "GET " + host_->path() + "?mode=sync&pad=" + std::string(3000, 'p');
  const std::string long_field = "GET " + host_->path() + "?mode=sync HTTP/1.1\r\nHost: x\r\nX-Pad: " +
                                 std::string(3000, 'p');
  const std::string long_chunk_line = chunked + "9;pad=" + std::string(3000, 'p');
  const std::string long_trailer = chunked + "9\r\nmode=sync\r\n0\r\nX-Pad: " + std::string(3000, 'p');
  const std::string bare_line_feeds = chunked + "9\nmode=sync\n0\n\n";
  for (const auto& [head, status] : {std::pair{long_line, 414}, std::pair{long_field, 431},
                                     std::pair{long_chunk_line, 400}, std::pair{long_trailer, 400},
                                     std::pair{bare_line_feeds, 400}}) {
    SCOPED_TRACE(status);
    const int fd = ConnectLoopback(host_->port());
    ASSERT_EQ(send(fd, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
    bool closed = false;
    std::string received = ReadUntilClosed(fd, 2s, closed);
    EXPECT_TRUE(closed);
    HttpResponse answer;
    ASSERT_TRUE(ParseHttpResponse(received, answer)) << "no answer within 2 s";
    EXPECT_EQ(answer.status, status);
    EXPECT_EQ(answer.headers["connection"], "close");
    EXPECT_EQ(received, "") << "one answer only";
  }
}

// One event loop, and a module call on it that blocks: the loop goes on with
// other clients meanwhile. The blocked call's connection sends its next
// request behind it; answered 504 at the pending timeout (2 s), the blocked
// request is over for the client, but its call is not: the next request
// reaches the module only once that call has returned (3 s), within its own
// pending timeout.
TEST_F(HostIntegrationTest, ABlockedCallHoldsUpOnlyItsOwnConnection) {
  StartProbe({"--threads", "1", "--pending-timeout", "2"});
  const auto start = std::chrono::steady_clock::now();
  const int blocked = ConnectLoopback(host_->port());
  const std::string requests = "GET " + host_->path() + "?mode=sync&block=3000 HTTP/1.1\r\nHost: x\r\n\r\n" +
                               "GET " + host_->path() + "?mode=sync&size=3 HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(send(blocked, requests.data(), requests.size(), MSG_NOSIGNAL), static_cast<ssize_t>(requests.size()));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(host_->Get("mode=sync").body, "hello");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "the other clients waited for the blocked call";
  EXPECT_EQ(ReadAnswer(blocked).status, 504);
  const auto next = ReadAnswer(blocked);
  EXPECT_EQ(next.body, "xxx");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 3s) << "the next request went in beside the blocked call";
  close(blocked);
}

TEST_F(HostIntegrationTest, HeadIsAnsweredLikeGetWithoutTheBody) {
  StartProbe();
  const std::string head = "HEAD " + host_->path() + "?mode=sync HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string get = "GET " + host_->path() + "?mode=sync&size=3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  const std::string received = HttpExchangeRaw(host_->port(), head + get);
  // The answer to HEAD carries GET's headers and nothing after them.
  const auto head_end = received.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos) << received;
  std::string first_head = received.substr(0, head_end + 4);
  std::string rest = received.substr(head_end + 4);
  HttpResponse answer, second;
  ASSERT_TRUE(ParseHttpResponse(first_head, answer));
  EXPECT_EQ(answer.status, 200) << answer.raw;
  EXPECT_EQ(answer.headers["content-length"], "5");
  EXPECT_EQ(answer.headers["content-type"], "text/html");
  ASSERT_TRUE(ParseHttpResponse(rest, second)) << "the next answer follows the headers at once: " << rest;
  EXPECT_EQ(second.status, 200);
  EXPECT_EQ(second.body, "xxx");
}

// The 413 comes while the upload still runs: the host stops reading at the
// limit instead of taking in whatever the client sends.
TEST_F(HostIntegrationTest, ChunkedUploadOverTheBodyLimitGets413AtOnce) {
  constexpr std::size_t kLimit = 64 * 1024;
  constexpr std::size_t kWholeUpload = 64u << 20;
  StartProbe({"--max-body-bytes", std::to_string(kLimit)});
  const int fd = ConnectLoopback(host_->port());
  ASSERT_GE(fd, 0);
  const std::string head = "POST " + host_->path() + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  ASSERT_EQ(send(fd, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
  const timeval send_limit{5, 0};  // a host that stops reading without an answer
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
  const std::string chunk = "4000\r\n" + std::string(0x4000, 'd') + "\r\n";
  std::size_t sent = 0;
  pollfd answered{fd, POLLIN, 0};
  while (sent < kWholeUpload && poll(&answered, 1, 0) == 0) {
    const auto count = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (count <= 0) break;  // closed by the host; its answer is still to be read
    sent += static_cast<std::size_t>(count);
  }
  if (sent >= kWholeUpload) send(fd, "0\r\n\r\n", 5, MSG_NOSIGNAL);
  bool closed = false;
  std::string received = ReadUntilClosed(fd, 5s, closed);
  EXPECT_TRUE(closed);
  HttpResponse answer;
  ASSERT_TRUE(ParseHttpResponse(received, answer)) << received;
  EXPECT_EQ(answer.status, 413);
  EXPECT_EQ(answer.headers["connection"], "close");
  EXPECT_EQ(received, "") << "one answer only";
  EXPECT_LT(sent, kWholeUpload / 4) << "the answer waited for the upload";
  EXPECT_EQ(host_->Get("mode=sync").body, "hello");
}

TEST_F(HostIntegrationTest, WrongPathsAndMethodsAreRefused) {
  StartProbe();
  EXPECT_EQ(HttpFetch(host_->port(), "GET", "/webchat/other.so").status, 404);
  EXPECT_EQ(HttpFetch(host_->port(), "GET", "/").status, 404);
  auto put = HttpFetch(host_->port(), "PUT", host_->path(), "x");
  EXPECT_EQ(put.status, 405);
  EXPECT_EQ(put.headers["allow"], "GET, HEAD, POST");
}

TEST_F(HostIntegrationTest, ServerVariables) {
  StartProbe();
  auto response = HttpFetch(host_->port(), "GET",
                            host_->path() + "?mode=vars&names=REMOTE_ADDR,URL,REQUEST_METHOD,"
                                            "QUERY_STRING,SERVER_NAME,HTTP_X_TRACE_ID,NO_SUCH,SERVER_PORT,"
                                            "SERVER_PROTOCOL,PATH_INFO,SCRIPT_NAME,CONTENT_TYPE,CONTENT_LENGTH,"
                                            "HTTP_X_TRACE,HTTP_X-TRACE-ID,http_x_trace_id,REMOTE_PORT",
                            {}, "X-Trace-Id: abc-123\r\n");
  for (const std::string& line : {"SERVER_PORT=" + std::to_string(host_->port()), std::string("SERVER_PROTOCOL=HTTP/1.1"),
                                 "PATH_INFO=" + host_->path(), "SCRIPT_NAME=" + host_->path(),
                                 std::string("CONTENT_TYPE="), std::string("CONTENT_LENGTH=0"),
                                 std::string("HTTP_X_TRACE=<unknown 1413>"), std::string("HTTP_X-TRACE-ID=<unknown 1413>"),
                                 std::string("http_x_trace_id=<unknown 1413>")}) {
    EXPECT_NE(response.body.find(line + "\n"), std::string::npos) << line << " in " << response.body;
  }
  EXPECT_TRUE(std::regex_search(response.body, std::regex("\nREMOTE_PORT=[1-9][0-9]*\n"))) << response.body;
  EXPECT_NE(response.body.find("REMOTE_ADDR=127.0.0.1\n"), std::string::npos) << response.body;
  EXPECT_NE(response.body.find("URL=" + host_->path() + "\n"), std::string::npos);
  EXPECT_NE(response.body.find("REQUEST_METHOD=GET\n"), std::string::npos);
  EXPECT_NE(response.body.find("QUERY_STRING=mode=vars&names="), std::string::npos);
  EXPECT_NE(response.body.find("SERVER_NAME=127.0.0.1\n"), std::string::npos);
  EXPECT_NE(response.body.find("HTTP_X_TRACE_ID=abc-123\n"), std::string::npos);
  EXPECT_NE(response.body.find("NO_SUCH=<unknown 1413>\n"), std::string::npos);
}

TEST_F(HostIntegrationTest, PendingAnswerCompletedFromAnotherThread) {
  StartProbe();
  const auto start = std::chrono::steady_clock::now();
  auto response = host_->Get("mode=pending&delay=300&id=7");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "late 7");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  auto twice = host_->Get("mode=twice&id=2");
  EXPECT_EQ(twice.body, "late 2") << "writes and a second done after done change nothing";
}

TEST_F(HostIntegrationTest, ThreeHundredPendingRequestsAtOnce) {
  StartProbe({"--threads", "2"});
  std::vector<int> connections;
  for (int i = 0; i < 300; ++i) connections.push_back(Open("mode=hold"));
  // Held requests occupy no thread: two threads still answer the questions
  // and the release while all 300 are held.
  EXPECT_TRUE(WaitUntil([this] { return ProbeCount("live") == 300; }, 20s));
  EXPECT_EQ(host_->Get("mode=release").body, "300");
  for (const int fd : connections) {
    const auto answer = ReadAnswer(fd);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "released");
    close(fd);
  }
}

// While the module holds a request: a client whose connection is reset is
// dropped at once (499). One that ends its stream may be waiting for the
// answer (a half-close looks like a close until something is written): it
// keeps its request and gets the answer, and when it had left, the write
// fails and says so (499). The module finishes its request safely in every
// case, and the host serves on.
TEST_F(HostIntegrationTest, ClientThatLeavesWhilePendingIsForgottenSafely) {
  TempDir logs;
  StartProbe({"--access-log", logs.path() + "access.log", "--access-log-values", "--threads", "2"});
  struct LeavingRow {
    const char* name;
    const char* query;
    bool half_close;  // shutdown(SHUT_WR) first
    bool reset;       // then an abortive close
    bool dropped;     // the host gives the request up before the module answers
    const char* answer;  // what the client reads after the release; null: it closed
    bool mid_answer;     // it closes once some of the answer has come instead
    const char* logged;
  };
  const LeavingRow rows[] = {
      {"reset", "mode=hold&row=0", false, true, true, nullptr, false, " 499 0\n"},
      {"half-close", "mode=hold&row=1", true, false, false, "released", false, " 200 8\n"},
      {"half-close, then reset", "mode=hold&row=2", true, true, true, nullptr, false, " 499 0\n"},
      {"close, a large answer", "mode=hold&row=3&size=8000000", false, false, false, nullptr, false, " 499 0\n"},
      {"reset while a large answer goes out", "mode=hold&row=4&size=8000000", false, true, false, nullptr, true,
       " 499 0\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const int fd = Open(row.query);
    ASSERT_TRUE(WaitUntil([this] { return ProbeCount("live") == 1; }));
    if (row.half_close) {
      ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
    }
    if (row.reset) {
      const linger abort{1, 0};
      ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    }
    if (row.answer == nullptr && !row.mid_answer) close(fd);
    if (row.dropped) {
      EXPECT_TRUE(WaitUntil([this] { return ProbeCount("live") == 0; })) << "not dropped at once";
    }
    EXPECT_EQ(host_->Get("mode=release").body, "1") << "the module still finishes its request";
    if (row.mid_answer) {
      char some[1000];
      EXPECT_GT(recv(fd, some, sizeof some, 0), 0);
      close(fd);
    }
    if (row.answer != nullptr) {
      EXPECT_EQ(ReadAnswer(fd).body, row.answer);
      bool closed = false;
      ReadUntilClosed(fd, 5s, closed);
      EXPECT_TRUE(closed) << "the answer to a half-closed client ends the connection";
    }
    ASSERT_TRUE(WaitUntil([this] { return ProbeCount("finishing") == 0; }));
    const std::string line = std::string("\"GET ") + host_->path() + "?" + row.query + " HTTP/1.1\"" + row.logged;
    EXPECT_TRUE(WaitUntil([&] { return logs.Read("access.log").find(line) != std::string::npos; }))
        << logs.Read("access.log");
    EXPECT_EQ(host_->Get("mode=sync").body, "hello");
  }
}

// A client that resets while its module call blocks is let go (499) as soon
// as the loop, handed on to another thread, sees the reset: not when the call
// returns, nor at the pending timeout.
TEST_F(HostIntegrationTest, ClientResetWhileItsCallBlocksIsLetGoAtOnce) {
  TempDir logs;
  StartProbe({"--threads", "1", "--access-log", logs.path() + "access.log"});
  const int fd = Open("mode=sync&block=6000");
  // With one loop, another answer means the blocked call's loop was handed on.
  ASSERT_EQ(host_->Get("mode=sync").body, "hello");
  const linger abort{1, 0};
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
  close(fd);
  EXPECT_TRUE(WaitUntil([&] { return logs.Read("access.log").find(" 499 ") != std::string::npos; }, 3s))
      << "still held: " << logs.Read("access.log");
}

TEST_F(HostIntegrationTest, RequestPendingTooLongIsAnswered504AndLogged) {
  TempDir logs;
  StartProbe({"--pending-timeout", "1", "--access-log", logs.path() + "access.log"});
  const int fd = Open("mode=hold");
  const auto answer = ReadAnswer(fd, 10s);
  EXPECT_EQ(answer.status, 504);
  close(fd);
  EXPECT_EQ(host_->Get("mode=release").body, "1");
  EXPECT_EQ(host_->Stop(), 0);
  host_.reset();
  EXPECT_NE(logs.Read("access.log").find("\"GET /webchat/probe.so HTTP/1.1\" 504 0\n"), std::string::npos)
      << logs.Read("access.log");
}

// Heads the library answers itself, or that never end, cost the host nothing:
// no memory kept for them (the sanitizer build's leak check sees the rest)
// and no wait for them when it stops.
TEST_F(HostIntegrationTest, HeadsThatNeverReachTheModuleDoNotHoldUpTheStop) {
  StartProbe({"--shutdown-grace", "1"});
  std::string many_fields = "GET " + host_->path() + "?mode=sync";
  for (int i = 0; i < 1000; ++i) many_fields += "&a=b";
  const std::vector<std::string> heads = {
      "GET " + host_->path() + "?mode=sync HTTP/1.1\r\nHo",
      "POST " + host_->path() + " HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n",
      many_fields + " HTTP/1.1\r\nHost: x\r\n\r\n",
  };
  std::vector<int> connections;
  for (const auto& head : heads) {
    connections.push_back(ConnectLoopback(host_->port()));
    EXPECT_EQ(send(connections.back(), head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
  }
  EXPECT_EQ(host_->Get("mode=sync").body, "hello");  // every head above has been read meanwhile
  const auto stop_began = std::chrono::steady_clock::now();
  EXPECT_EQ(host_->Stop(), 0) << host_->process().Output();
  EXPECT_LT(std::chrono::steady_clock::now() - stop_began, 4s);
  host_.reset();
  for (const int fd : connections) close(fd);
}

TEST_F(HostIntegrationTest, KeepAliveAndPipelining) {
  StartProbe();
  const std::string one = "GET " + host_->path() + "?mode=sync HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string two = "GET " + host_->path() + "?mode=pending&id=2 HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string three = "GET " + host_->path() + "?mode=sync&size=3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  std::string raw = HttpExchangeRaw(host_->port(), one + two + three);
  HttpResponse first, second, third;
  ASSERT_TRUE(ParseHttpResponse(raw, first));
  ASSERT_TRUE(ParseHttpResponse(raw, second));
  ASSERT_TRUE(ParseHttpResponse(raw, third));
  EXPECT_EQ(first.body, "hello");
  EXPECT_EQ(second.body, "late 2");
  EXPECT_EQ(third.body, "xxx");
}

TEST_F(HostIntegrationTest, ShutdownAnswersPendingRequests503AndExitsCleanly) {
  StartProbe({"--shutdown-grace", "1"});
  std::vector<int> connections;
  for (int i = 0; i < 3; ++i) connections.push_back(Open("mode=hold"));
  ASSERT_TRUE(WaitUntil([this] { return ProbeCount("live") == 3; }));
  kill(host_->process().pid(), SIGTERM);
  for (const int fd : connections) {
    EXPECT_EQ(ReadAnswer(fd, 15s).status, 503);
    close(fd);
  }
  EXPECT_EQ(host_->Stop(), 0) << host_->process().Output();
  EXPECT_NE(host_->process().Output().find("quorvix-host: stopped"), std::string::npos);
  host_.reset();
}

TEST_F(HostIntegrationTest, RequestTurningPendingAfterTheGraceIsAnswered503AndTheServerStillStops) {
  StartProbe({"--shutdown-grace", "1"});
  // Inside the module when the stop begins, pending only once the grace is over.
  const int fd = Open("mode=hold&stall=2500");
  ASSERT_NE(host_->process().WaitForLine("probe: stalling", 10s), "");
  kill(host_->process().pid(), SIGTERM);
  EXPECT_EQ(ReadAnswer(fd, 15s).status, 503);
  close(fd);
  EXPECT_EQ(host_->process().Stop(SIGTERM, 15s), 0) << host_->process().Output();
  EXPECT_NE(host_->process().Output().find("quorvix-host: stopped"), std::string::npos)
      << host_->process().Output();
  host_.reset();
}

TEST_F(HostIntegrationTest, AccessLogKeepsThePathAndOperationUnlessValuesAreAskedFor) {
  TempDir logs;
  struct Row {
    std::vector<std::string> options;
    std::string method, query, body;
    std::string logged;  // the request as the log shows it; empty: no line
  };
  const std::string post_body = "mode=sync&varUserRequest=REQ_ADD_TO_CHAT&varChatData=my+secret";
  const std::vector<Row> rows = {
      {{}, "GET", "mode=sync&varPhoneNumber=0301234&varUserRequest=REQ_CALLME", "", "GET " + std::string("PATH") +
                                                                                      "?varUserRequest=REQ_CALLME"},
      {{}, "GET", "mode=sync&varCustomerName=Ann", "", "GET PATH"},
      {{}, "POST", "", post_body, "POST PATH?varUserRequest=REQ_ADD_TO_CHAT"},
      {{"--access-log-values"}, "GET", "mode=sync&varPhoneNumber=0301234", "", "GET PATH?mode=sync&varPhoneNumber=0301234"},
      {{"--no-access-log"}, "GET", "mode=sync&varPhoneNumber=0301234", "", ""},
  };
  for (const Row& row : rows) {
    const std::string log = logs.path() + "access.log";
    std::filesystem::remove(log);
    auto options = row.options;
    options.insert(options.end(), {"--access-log", log});
    StartProbe(options);
    const auto answer =
        HttpFetch(host_->port(), row.method, host_->path() + (row.query.empty() ? "" : "?" + row.query), row.body);
    EXPECT_EQ(answer.status, 200) << answer.raw;
    EXPECT_EQ(host_->Stop(), 0);
    host_.reset();
    const std::string written = logs.Read("access.log");
    std::string expected = row.logged;
    if (const auto at = expected.find("PATH"); at != std::string::npos) expected.replace(at, 4, "/webchat/probe.so");
    if (expected.empty()) {
      EXPECT_EQ(written, "") << row.query;
    } else {
      EXPECT_NE(written.find("\"" + expected + " HTTP/1.1\" 200 5\n"), std::string::npos) << written;
    }
    if (row.logged.find("0301234") == std::string::npos) {
      EXPECT_EQ(written.find("0301234"), std::string::npos) << written;
    }
    EXPECT_EQ(written.find("secret"), std::string::npos) << written;
  }
}

// A proxy's word for the client address counts only from a trusted proxy;
// that address is what the module, the heartbeat rule and the per-address
// cap go by. Whatever spelling, repetition or encoding of the heartbeat, from
// the query or a form's body, reaches the module only from a listed address.
TEST_F(HostIntegrationTest, TrustedProxiesNameTheClientAndTheHeartbeatComesOnlyFromListedAddresses) {
  StartProbe({"--trusted-proxy", "127.0.0.2", "--heartbeat-from", "127.0.0.9"});
  struct Row {
    const char* from;     // our end of the connection
    std::string headers;  // extra header lines
    std::string method, query, body;
    int status;
    const char* remote;   // REMOTE_ADDR the module sees; null: not asked
  };
  const std::string vars = "mode=vars&names=REMOTE_ADDR";
  const std::vector<Row> rows = {
      {"127.0.0.2", "X-Real-IP: 127.8.8.8\r\n", "GET", vars, "", 200, "127.8.8.8"},
      {"127.0.0.2", "X-Forwarded-For: 127.6.6.6, 127.7.7.7\r\n", "GET", vars, "", 200, "127.7.7.7"},
      {"127.0.0.2", "X-Forwarded-For: not-an-address\r\n", "GET", vars, "", 200, "127.0.0.2"},
      {"127.0.0.3", "X-Real-IP: 127.8.8.8\r\n", "GET", vars, "", 200, "127.0.0.3"},
      {"127.0.0.3", "", "GET", "mode=sync&varUserRequest=REQ_HEARTBEAT", "", 403, nullptr},
      {"127.0.0.3", "", "GET", "mode=sync&VARUSERREQUEST=REQ_HEARTBEAT", "", 403, nullptr},
      {"127.0.0.3", "", "GET", "mode=sync&varUserRequest=REQ_%48EARTBEAT", "", 403, nullptr},
      {"127.0.0.3", "", "GET", "mode=sync&varUserRequest=REQ_%4g%38EARTBEAT", "", 403, nullptr},
      {"127.0.0.3", "", "GET", "mode=sync&x_varUserRequest=REQ_HEARTBEAT", "", 403, nullptr},
      {"127.0.0.3", "", "GET", "mode=sync?varUserRequest=REQ_HEARTBEAT", "", 403, nullptr},
      {"127.0.0.3", "", "GET", "mode=sync&varUserRequest=REQ_WEBCHAT_MAIN&varUserRequest=REQ_HEARTBEAT", "", 403,
       nullptr},
      {"127.0.0.3", "", "HEAD", "mode=sync&varUserRequest=xREQ_HEARTBEAT", "", 403, nullptr},
      {"127.0.0.3", "", "POST", "", "mode=sync&varUserRequest=REQ_HEARTBEAT", 403, nullptr},
      {"127.0.0.3", "", "POST", "varUserRequest=REQ_HEARTBEAT", "  \r\n", 403, nullptr},
      {"127.0.0.2", "X-Real-IP: 127.0.0.3\r\n", "GET", "mode=sync&varUserRequest=REQ_HEARTBEAT", "", 403, nullptr},
      {"127.0.0.3", "X-Real-IP: 127.0.0.9\r\n", "GET", "mode=sync&varUserRequest=REQ_HEARTBEAT", "", 403, nullptr},
      {"127.0.0.2", "X-Real-IP: 127.0.0.9\r\n", "GET", "mode=sync&varUserRequest=REQ_HEARTBEAT", "", 200, nullptr},
      {"127.0.0.9", "", "POST", "", "mode=sync&varUserRequest=REQ_HEARTBEAT", 200, nullptr},
      {"127.0.0.3", "", "GET", "mode=sync&varUserRequest=REQ_WEBCHAT_MAIN", "", 200, nullptr},
      {"127.0.0.3", "", "POST", "", "mode=sync&varUserRequest=REQ_ADD_TO_CHAT&varChatData=REQ_HEARTBEAT", 200,
       nullptr},
  };
  for (const Row& row : rows) {
    const std::string what = std::string(row.from) + " " + row.method + " " + row.query + row.body;
    const int fd = ConnectLoopback(host_->port(), row.from);
    ASSERT_GE(fd, 0) << what;
    const std::string request = row.method + " " + host_->path() + (row.query.empty() ? "" : "?" + row.query) +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + row.headers +
                                (row.body.empty() ? "" : "Content-Type: application/x-www-form-urlencoded\r\n") +
                                "Content-Length: " + std::to_string(row.body.size()) + "\r\n\r\n" + row.body;
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    const auto answer = ReadAnswer(fd);
    close(fd);
    EXPECT_EQ(answer.status, row.status) << what << "\n" << answer.raw;
    if (row.remote != nullptr) {
      EXPECT_NE(answer.body.find("REMOTE_ADDR=" + std::string(row.remote) + "\n"), std::string::npos) << what;
    }
  }
  // The per-address cap holds for everyone but the trusted proxy.
  ASSERT_EQ(host_->Stop(), 0);
  StartProbe({"--trusted-proxy", "127.0.0.2", "--max-connections-per-address", "1"});
  for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
    const int held = ConnectLoopback(host_->port(), from);
    const std::string get = "GET " + host_->path() + "?mode=sync HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(send(held, get.data(), get.size(), MSG_NOSIGNAL), static_cast<ssize_t>(get.size()));
    EXPECT_EQ(ReadAnswer(held).status, 200) << from;
    const int second = ConnectLoopback(host_->port(), from);
    ASSERT_EQ(send(second, get.data(), get.size(), MSG_NOSIGNAL), static_cast<ssize_t>(get.size()));
    EXPECT_EQ(ReadAnswer(second).status, std::string(from) == "127.0.0.2" ? 200 : 503) << from;
    close(second);
    close(held);
  }
}

TEST(HostStartTest, BadModulesAndOptionsExitWithOneLine) {
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{"--module", "/nonexistent/quorvix.so"},
        std::vector<std::string>{"--module", NO_ENTRY_POINTS_PATH},
        std::vector<std::string>{"--module", PROBE_MODULE_PATH, "--listen", "127.0.0.1:x"}}) {
    std::vector<std::string> argv = {HostBinaryPath()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ChildProcess host(argv);
    EXPECT_NE(host.Stop(0, 10s), 0);
    const auto output = host.Output();
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_TRUE(output.starts_with("quorvix-host: ")) << output;
  }
}

TEST(HostWithModuleTest, UnknownRequestIsAnswered200) {
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  TempDir site;
  sim.InstallSite(QUORVIX_SITE_DIR, site.path());
  HostProcess host(site.path() + "quorvix.so");
  ASSERT_TRUE(host.ready()) << host.process().Output();
  EXPECT_EQ(host.Get("varUserRequest=REQ_NOTHING_LIKE_IT").status, 200);
  const auto heartbeat = host.Post("varUserRequest=REQ_HEARTBEAT&varHostName=web7&varWebApp=chat&varPort=80");
  EXPECT_EQ(heartbeat.status, 200);
  EXPECT_EQ(heartbeat.body, "");
  EXPECT_EQ(sim.ControlLines("heartbeats").front(), "web7|chat|80");
  EXPECT_EQ(host.Stop(), 0);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(HostWithModuleTest, ClientThatShutsItsSendingSideGetsItsAnswerAndTheClose) {
  // Such a client reads until the close. Its end of sending often arrives
  // while the module builds the page; the host must still close once the
  // answer is out, not hold the connection for its idle timeout.
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  TempDir site;
  sim.InstallSite(QUORVIX_SITE_DIR, site.path());
  HostProcess host(site.path() + "quorvix.so", {"--idle-timeout", "30"});
  ASSERT_TRUE(host.ready()) << host.process().Output();
  const std::vector<std::string> queries = {"varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en",
                                            "varUserRequest=REQ_STAT_PAGE&varPageName=chat.js",
                                            "varUserRequest=REQ_NOTHING_LIKE_IT"};
  for (int round = 0; round < 8; ++round) {
    for (const auto& query : queries) {
      SCOPED_TRACE(query);
      const int fd = ConnectLoopback(host.port());
      ASSERT_GE(fd, 0);
      const std::string request = "GET " + host.path() + "?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
      ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
      ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
      std::string raw;
      bool closed = false;
      char buffer[8192];
      const auto deadline = std::chrono::steady_clock::now() + 5s;
      while (!closed && std::chrono::steady_clock::now() < deadline) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, 100) <= 0) continue;
        const auto count = recv(fd, buffer, sizeof buffer, 0);
        closed = count <= 0;
        if (!closed) raw.append(buffer, static_cast<std::size_t>(count));
      }
      close(fd);
      HttpResponse response;
      EXPECT_TRUE(ParseHttpResponse(raw, response)) << raw;
      EXPECT_EQ(response.status, 200);
      ASSERT_TRUE(closed) << "still open 5 s after the answer, in round " << round;
    }
  }
  EXPECT_EQ(host.Stop(), 0);
  EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
