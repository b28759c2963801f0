// Chats through quorvix-host, the module and vekacs-sim, as a browser's
// requests would make them.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

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
