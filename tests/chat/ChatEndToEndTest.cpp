// Chats through quorvix-host, the module and vekacs-sim, as a browser's
// requests would make them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <thread>
#include <utility>

#include "support/SiteTest.h"
#include "support/UrlEncode.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

std::string Value(const std::string& page, const std::string& name) {
  const auto at = page.find("\n" + name + "=");
  if (at == std::string::npos) return "<absent>";
  const auto start = at + name.size() + 2;
  return page.substr(start, page.find('\n', start) - start);
}

class ChatEndToEndTest : public SiteTest {
 protected:
  explicit ChatEndToEndTest(std::vector<std::string> host_options = {"--no-access-log"})
      : SiteTest(std::move(host_options)) {}
  std::string StartChat(const std::string& name) {
    const auto page = host_->Post("varUserRequest=REQ_JS_START&varCustomerName=" + UrlEncode(name) +
                                  "&varCaption=Question&varUserLanguage=en&varBusinessUnitName=Sales");
    const auto at = page.body.find("data-session=\"");
    if (at == std::string::npos) return {};
    const auto start = at + 14;
    return page.body.substr(start, page.body.find('"', start) - start);
  }
  HttpResponse Say(const std::string& session, const std::string& line) {
    return host_->Post("varUserRequest=REQ_ADD_TO_CHAT&varSessionID=" + session + "&varChatData=" + UrlEncode(line) +
                       "&varIndexKey=0&varUserLanguage=en");
  }
  HttpResponse Poll(const std::string& session, const std::string& index) {
    return host_->Get("varUserRequest=REQ_DELTA_CHAT&varSessionID=" + UrlEncode(session) + "&varIndexKey=" + index +
                      "&varUserLanguage=en");
  }
  std::string LogLine(const std::string& type) {
    const auto lines = sim_.ControlLines("log");
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      if (it->find(" type=" + type + " ") != std::string::npos) return *it;
    }
    return {};
  }
};

TEST_F(ChatEndToEndTest, TheBackEndSeesEveryFieldInOrderAndConverted) {
  const auto page = host_->Post(
      "varUserRequest=REQ_JS_START&varSessionPriority=2&varCustomerName=Ann&varCaption=Cap&varDestination=Dest"
      "&varVEKALanguage=de&varSource=web&Order=4711&varBusinessUnitName=Sales&varUserLanguage=en");
  ASSERT_EQ(page.status, 200);
  EXPECT_NE(LogLine("20").find("fields=2|Ann|Cap|Dest|de|web|Order=4711|Sales"), std::string::npos) << LogLine("20");
  const std::string session = StartChat("Bo");
  ASSERT_FALSE(session.empty());
  struct Case {
    std::string typed, sent;
  };
  for (const Case& c : std::vector<Case>{{"a<b>c", "a&lt;b&gt;c"},
                                         {"line1<BR>line2", "line1<BR>line2"},
                                         {"x<br>y", "x&lt;br&gt;y"},
                                         {"50%0A", "50<BR>"},
                                         {"fish & \"chips\"", "fish & \"chips\""}}) {
    const auto answer = Say(session, c.typed);
    EXPECT_EQ(Value(answer.body, "error"), "") << c.typed;
    EXPECT_NE(LogLine("40").find("fields=" + session + "|" + c.sent), std::string::npos) << LogLine("40");
  }
  host_->Post("varUserRequest=REQ_NOTIFY_TYPING_CHAT&varSessionID=" + session + "&varIsTypingData=1");
  EXPECT_NE(LogLine("310").find("fields=" + session + "|1"), std::string::npos);
  host_->Get("varUserRequest=REQ_CALLME&varSessionID=" + session + "&varAgentKey=A9&varPhoneNumber=030+123");
  EXPECT_NE(LogLine("80").find("fields=" + session + "|A9|030 123"), std::string::npos) << LogLine("80");
}

TEST_F(ChatEndToEndTest, WhatVisitorsTypedComesBackEscapedInThePollAnswer) {
  // The agent's greeting repeats the name the visitor gave at the start.
  const std::string session = StartChat("<script>alert(\"x\")</script>");
  ASSERT_FALSE(session.empty());
  std::string chat;
  ASSERT_TRUE(WaitUntil([&] {
    chat = Poll(session, "0").body;
    return chat.find("Hello ") != std::string::npos;
  })) << chat;
  EXPECT_EQ(chat.find("<script"), std::string::npos) << chat;
  EXPECT_NE(chat.find("Hello &lt;script&gt;alert&#x28;&quot;x&quot;&#x29;&lt;&#x2F;script&gt;,"), std::string::npos)
      << chat;
}

TEST_F(ChatEndToEndTest, AnAnswerThatComesInPiecesGivesTheWholePage) {
  const std::string session = StartChat("Pia");
  ASSERT_FALSE(session.empty());
  ASSERT_EQ(Say(session, "one line").status, 200);
  std::string whole;
  ASSERT_TRUE(WaitUntil([&] {
    whole = Poll(session, "0").body;
    return whole.find("Hello Pia") != std::string::npos;
  })) << whole;
  // Pieces that end inside the length prefix, on its end and inside the fields.
  for (const int bytes : {1, 3, 6, 25}) {
    SCOPED_TRACE(bytes);
    ASSERT_EQ(sim_.Control("fault pieces " + std::to_string(bytes) + " 1 type 50"), "");
    const auto pieces = Poll(session, "0");
    EXPECT_EQ(pieces.status, 200);
    EXPECT_EQ(Value(pieces.body, "error"), "");
    EXPECT_NE(pieces.body.find("Hello Pia"), std::string::npos) << pieces.body;
    EXPECT_NE(pieces.body.find("one line"), std::string::npos) << pieces.body;
  }
}

TEST_F(ChatEndToEndTest, EmptyLineNeverReachesTheBackEnd) {
  const std::string session = StartChat("Cy");
  const auto answer = Say(session, "");
  EXPECT_EQ(answer.body.substr(0, 14), "QXCHAT control");
  EXPECT_EQ(LogLine("40"), "") << "no chat post reached the back end";
}

TEST_F(ChatEndToEndTest, BadSessionsAndHugeInputEndInThePagesNamedForThem) {
  EXPECT_EQ(Value(Poll("no-such-session", "0").body, "error"), "3010");
  const auto huge_session = host_->Post("varUserRequest=REQ_DELTA_CHAT&varSessionID=" + std::string(50000, 's') +
                                        "&varIndexKey=0&varUserLanguage=en");
  EXPECT_EQ(huge_session.status, 200);
  EXPECT_EQ(huge_session.body, "") << "a request that cannot be built gets no page";
  const std::string session = StartChat("Di");
  const auto long_line = Say(session, std::string(200000, 'l'));
  EXPECT_EQ(long_line.status, 200);
  EXPECT_EQ(Value(long_line.body, "error"), "") << long_line.body.substr(0, 80);
  const auto binary = Say(session, std::string("\x01\x02\xff\xfe", 4));
  EXPECT_EQ(binary.status, 200);
  EXPECT_EQ(Value(Poll(session, "0").body, "error"), "") << "the session still works";
}

TEST_F(ChatEndToEndTest, BackEndDyingMidAnswerGivesTheCodeAndTheNextRequestWorks) {
  const std::string session = StartChat("Ed");
  ASSERT_EQ(sim_.Control("fault badlength"), "");
  EXPECT_EQ(Value(Poll(session, "0").body, "error"), "1003");
  EXPECT_EQ(Value(Poll(session, "0").body, "error"), "");
}

// An operator's edit shows at the very next poll, however many polls each
// loop has answered from the files it keeps: no poll may trust a look at the
// file system made before it began.
TEST_F(ChatEndToEndTest, AnEditOfTheTemplateOrTheSettingsShowsAtTheNextPoll) {
  const std::string session = StartChat("Flo");
  ASSERT_FALSE(session.empty());
  const std::string folder = site_.path() + "/html/en/";
  const auto write = [](const std::string& path, const std::string& text) {
    std::ofstream(path + ".new", std::ios::binary | std::ios::trunc) << text;
    std::filesystem::rename(path + ".new", path);
  };
  std::ifstream ini_file(site_.path() + "/RAVO.ini", std::ios::binary);
  const std::string ini((std::istreambuf_iterator<char>(ini_file)), std::istreambuf_iterator<char>());
  ASSERT_NE(ini.find("\nJSDispatch=JSDispatch.htm"), std::string::npos);
  struct Edit {
    const char* name;
    std::function<void()> apply;
    std::string shown;  // the page's first line afterwards
  };
  const Edit edits[] = {
      {"the template edited in place",
       [&] { std::ofstream(folder + "JSDispatch.htm", std::ios::binary | std::ios::trunc) << "edit one\n"; },
       "edit one"},
      {"the template replaced", [&] { write(folder + "JSDispatch.htm", "edit two\n"); }, "edit two"},
      {"the settings naming another template",
       [&] {
         std::ofstream(folder + "Other.htm", std::ios::binary) << "edit three\n";
         std::string edited = ini;
         edited.replace(edited.find("\nJSDispatch=JSDispatch.htm"), 26, "\nJSDispatch=Other.htm");
         write(site_.path() + "/RAVO.ini", edited);
       },
       "edit three"},
  };
  const auto first_line = [&] {
    const std::string page = Poll(session, "0").body;
    return page.substr(0, page.find('\n'));
  };
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.name);
    for (int poll = 0; poll < 6; ++poll) ASSERT_NE(first_line(), edit.shown);
    edit.apply();
    EXPECT_EQ(first_line(), edit.shown);
  }
}

class ChatPendingTimeoutTest : public ChatEndToEndTest {
 protected:
  ChatPendingTimeoutTest() : ChatEndToEndTest({"--no-access-log", "--pending-timeout", "1"}) {}
};

TEST_F(ChatPendingTimeoutTest, APollGivenUpGivesItsConnectionBackBrokenAtOnce) {
  // The rest of that answer must never meet the next exchange on the
  // connection, and nothing need wait for it.
  if (const char* path = std::getenv("QUORVIX_TEST_EXCHANGE_PATH"); path != nullptr && std::string(path) == "worker") {
    GTEST_SKIP() << "a worker thread waits the back end out";
  }
  const std::string session = StartChat("Di");
  ASSERT_EQ(sim_.Control("fault delay 8000"), "");
  EXPECT_EQ(Poll(session, "0").status, 504);
  const auto trace = [&] {
    std::ifstream in(site_.path() + "debug.txt");
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_TRUE(WaitUntil([&] { return trace().find("AsyncThreadProc: Returning failed socket") != std::string::npos; },
                        4s));
  EXPECT_EQ(Value(Poll(session, "0").body, "error"), "");
}

// A site whose pool holds at most max_sockets connections, behind its own
// sim and host.
class ChatSmallPoolTest : public ::testing::Test {
 protected:
  void Start(const char* max_sockets, std::vector<std::string> host_options) {
    ASSERT_TRUE(sim_.ready());
    sim_.InstallSite(QUORVIX_SITE_DIR, site_.path());
    std::ifstream in(site_.path() + "RAVO.ini");
    std::string ini(std::istreambuf_iterator<char>(in), {});
    for (const auto& [key, value] : {std::pair{"MinSockets=", "1"}, std::pair{"MaxSockets=", max_sockets}}) {
      const auto at = ini.find(std::string("\n") + key);
      ASSERT_NE(at, std::string::npos) << key;
      ini.replace(at + 1, ini.find('\n', at + 1) - at - 1, std::string(key) + value);
    }
    std::ofstream(site_.path() + "RAVO.ini") << ini;
    host_options.push_back("--no-access-log");
    host_ = HostProcess::ForSite(site_.path(), std::move(host_options));
    ASSERT_TRUE(host_->ready()) << host_->process().Output();
  }
  void TearDown() override {
    if (host_) {
      EXPECT_EQ(host_->Stop(), 0) << host_->process().Output();
    }
    EXPECT_EQ(sim_.Stop(), 0);
  }
  HttpResponse Poll() const {
    return host_->Get("varUserRequest=REQ_DELTA_CHAT&varSessionID=123456&varIndexKey=0&varUserLanguage=en");
  }
  int HostThreads() const {
    const std::string tasks = "/proc/" + std::to_string(host_->process().pid()) + "/task";
    int count = 0;
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator(tasks, ignored); it != std::filesystem::directory_iterator();
         it.increment(ignored)) {
      ++count;
    }
    return count;
  }
  static bool OnWorkerPath() {
    const char* path = std::getenv("QUORVIX_TEST_EXCHANGE_PATH");
    return path != nullptr && std::string(path) == "worker";
  }

  SimProcess sim_;
  TempDir site_;
  std::unique_ptr<HostProcess> host_;
};

TEST_F(ChatSmallPoolTest, PollsWaitingForAConnectionGetTheOnesFreedAndAllAreAnswered) {
  // On the loop a waiting poll is a place in the pool's queue, not a thread:
  // the host keeps its loops and a few threads of its own however many wait.
  Start("2", {});
  // On the worker path each waiting poll is a thread that comes and goes;
  // the thread sanitizer's view of thread ends in a loaded module is
  // unreliable enough (reports inside the loader's TLS bookkeeping) that
  // fewer of them serve the same check there.
  const int kPolls = OnWorkerPath() ? 16 : 48;
  ASSERT_EQ(sim_.Control("fault delay 100 " + std::to_string(kPolls) + " type 50"), "");
  std::vector<std::future<HttpResponse>> polls;
  for (int i = 0; i < kPolls; ++i) polls.push_back(std::async(std::launch::async, [&] { return Poll(); }));
  int peak_threads = 0;
  for (auto& poll : polls) {
    while (poll.wait_for(1ms) != std::future_status::ready) peak_threads = std::max(peak_threads, HostThreads());
    const HttpResponse answer = poll.get();
    EXPECT_EQ(answer.status, 200);
    EXPECT_NE(Value(answer.body, "error"), "1002") << "no connection within the pool's time limit";
  }
  if (!OnWorkerPath()) {
    EXPECT_LE(peak_threads, 2 * static_cast<int>(std::thread::hardware_concurrency()) + 8);
  }
}

TEST_F(ChatSmallPoolTest, PollsGivenUpHoldingOrAwaitingTheOnlyConnectionLeaveTheNextPollOne) {
  // One poll holds the pool's only connection, a second waits for it; the
  // pending timeout gives both up. Neither may keep the connection, or the
  // room for a new one, from the poll after them.
  if (OnWorkerPath()) GTEST_SKIP() << "a worker thread waits the back end out";
  // The back end holds both polls, so the second is given up whether its own
  // time runs out in the queue or after it inherits the connection.
  Start("1", {"--pending-timeout", "1"});
  ASSERT_EQ(sim_.Control("fault delay 3000 2 type 50"), "");
  auto holding = std::async(std::launch::async, [&] { return Poll(); });
  auto waiting = std::async(std::launch::async, [&] { return Poll(); });
  EXPECT_EQ(holding.get().status, 504);
  EXPECT_EQ(waiting.get().status, 504);
  ASSERT_EQ(sim_.Control("clear"), "");
  const HttpResponse next = Poll();
  EXPECT_EQ(next.status, 200);
  EXPECT_NE(Value(next.body, "error"), "1002") << "no connection within the pool's time limit";
}

TEST_F(ChatEndToEndTest, FiftyVisitorsChatAtOnceAndLoseNothing) {
  constexpr int kVisitors = 50;
  constexpr int kLines = 6;
  std::vector<std::string> failures(kVisitors);
  std::vector<std::thread> visitors;
  for (int v = 0; v < kVisitors; ++v) {
    visitors.emplace_back([&, v] {
      const std::string name = "Visitor" + std::to_string(v);
      const std::string session = StartChat(name);
      if (session.empty()) {
        failures[v] = "no session";
        return;
      }
      std::string index = "0";
      for (int i = 0; i < kLines; ++i) {
        const auto answer = Say(session, "line " + std::to_string(i) + " of " + name);
        if (Value(answer.body, "error") != "") failures[v] += " post " + std::to_string(i) + " failed;";
        const auto poll = Poll(session, index);
        if (Value(poll.body, "error") == "") index = Value(poll.body, "index");
      }
      const auto summary = host_->Get("varUserRequest=REQ_HANG_UP&varSessionID=" + session + "&varUserLanguage=en");
      std::size_t at = 0;
      for (int i = 0; i < kLines; ++i) {
        // A line ends at the next line break or at the end of the summary.
        const std::string line = name + ": line " + std::to_string(i) + " of " + name + "<";
        const auto found = summary.body.find(line, at);
        if (found == std::string::npos) failures[v] += " missing or out of order: " + line;
        else if (summary.body.find(line, found + 1) != std::string::npos) failures[v] += " twice: " + line;
        else at = found;
      }
    });
  }
  for (auto& visitor : visitors) visitor.join();
  for (int v = 0; v < kVisitors; ++v) EXPECT_EQ(failures[v], "") << "visitor " << v;
}

}  // namespace
