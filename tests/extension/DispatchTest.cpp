#include "extension/Dispatch.h"

#include <gtest/gtest.h>

#include "support/ExtensionFixture.h"

namespace {

using Args = std::vector<std::string>;

class DispatchTest : public ExtensionFixture<RecordingExtension> {
 protected:
  // Runs one GET through the frame; returns what the host saw.
  std::uint32_t Get(const std::string& query) {
    auto request = FakeRequest::Get(query);
    return Run(request);
  }
  std::uint32_t Run(FakeRequest& request) { return extension_->HttpExtensionProc(request.ecb()); }
  const RecordingExtension::Call& OnlyCall() {
    EXPECT_EQ(extension_->calls.size(), 1u);
    static const RecordingExtension::Call none;
    return extension_->calls.empty() ? none : extension_->calls.front();
  }
};

TEST(DispatchTableTest, HasEveryRowInTestOrder) {
  const auto& table = DispatchTable();
  ASSERT_EQ(table.size(), 29u);
  EXPECT_EQ(table.front().requestName, "REQ_CALLBACK_AVAILABILITY");
  EXPECT_EQ(table[1].requestName, "REQ_WEB_CALLBACK");
  EXPECT_EQ(table[10].requestName, "REQ_VXML_INITIALIZE");
  EXPECT_EQ(table[27].requestName, "REQ_VXML_GETBUSINESSUNIT");
  EXPECT_EQ(table.back().requestName, "REQ_HEARTBEAT");
}

TEST(DispatchTableTest, SubstringMatchInTableOrderDecidesTheHandler) {
  struct Case {
    const char* request;
    const char* handler;
  };
  const std::vector<Case> cases = {
      {"REQ_WEB_CALLBACK_AVAILABILITY", "REQ_WEB_CALLBACK"},
      {"REQ_CALLBACK_AVAILABILITY", "REQ_WEB_CALLBACK_AVAILABILITY"},
      {"REQ_CALLME_EVENT", "REQ_CALLME_EVENT"},
      {"REQ_CALLME", "REQ_CALLME_EVENT"},
      {"REQ_HANG_UPXYZ", "REQ_HANG_UP"},
      {"xREQ_HEARTBEAT", "REQ_HEARTBEAT"},
      {"REQ_NOTIFY_TYPING_CHAT", "REQ_NOTIFY_TIPYNG_CHAT"},
      {"REQ_VXML_QUERYSYSTEMSTATUS", "REQ_VXML_QUERYSYSTEMSTATUS"},
  };
  for (const auto& c : cases) {
    const auto* row = FindDispatchRow(c.request);
    ASSERT_NE(row, nullptr) << c.request;
    EXPECT_EQ(row->handlerName, c.handler) << c.request;
  }
  EXPECT_EQ(FindDispatchRow("req_stat_page"), nullptr);
  EXPECT_EQ(FindDispatchRow(""), nullptr);
}

TEST(DispatchTableTest, LanguageCheck) {
  EXPECT_EQ(CheckedLanguage("de", "en"), "de");
  EXPECT_EQ(CheckedLanguage("../x", "en"), "en");
  EXPECT_EQ(CheckedLanguage("<WCSERVLET>", "en"), "en");
  EXPECT_EQ(CheckedLanguage("", "en"), "en");
  for (const char c : std::string(".&\\<>\"'/")) {
    EXPECT_EQ(CheckedLanguage(std::string("d") + c, "en"), "en") << c;
  }
  const auto common = ExtractCommonValues("varUserLanguage=" + std::string(60, 'l'), "en");
  EXPECT_EQ(common.language, std::string(50, 'l'));
}

TEST_F(DispatchTest, PassesEachRowsValuesInOrder) {
  Start("[WEBSETTINGS]\nDefaultLanguage=en\n");
  struct Case {
    std::string query;
    std::string handler;
    Args arguments;
  };
  const std::vector<Case> cases = {
      {"varUserRequest=REQ_CALLBACK_AVAILABILITY&varBusinessUnitName=Sales&varUserLanguage=de",
       "REQ_WEB_CALLBACK_AVAILABILITY", {"Sales", "de"}},
      {"varUserRequest=REQ_JS_START&varSessionPriority=3&varCustomerName=Ann+Lee&varCaption=Hi"
       "&varDestination=d&varVEKALanguage=v&varSource=web&Order=4711&varBusinessUnitName=BU",
       "REQ_JS_START", {"3", "Ann Lee", "Hi", "d", "v", "web", "Order=4711", "BU", "en"}},
      {"varUserRequest=REQ_ADD_TO_CHAT&varSessionID=s1&varChatData=a%26b&varIndexKey=7",
       "REQ_ADD_TO_CHAT", {"s1", "a&b", "7", "en"}},
      {"varUserRequest=REQ_STAT_PAGE&varPageName=a<b&varUserLanguage=de", "REQ_STAT_PAGE",
       {"de", ""}},
      {"varUserRequest=REQ_STAT_PAGE&varPageName=Help.html", "REQ_STAT_PAGE", {"en", "Help.html"}},
      {"varUserRequest=REQ_VXML_ENQUEUE&varCallID=c&varIVRHold=h&varQueueName=q"
       "&varInitialPriority=p&varDescription=d&varAgentID=a&varAgentWaitTime=w",
       "REQ_VXML_ENQUEUE", {"c", "h", "q", "p", "d", "a", "w", "en"}},
      {"varUserRequest=REQ_VXML_QUERYSYSTEMSTATUS&varCallID=9", "REQ_VXML_QUERYSYSTEMSTATUS",
       {"1", "en"}},
      {"varUserRequest=REQ_VXML_QUERYQUEUESTATISTICS&varQueueName=q&varBusinessUnitName=" +
           std::string(40, 'b'),
       "REQ_VXML_QUERYQUEUESTATISTICS", {"q", std::string(32, 'b'), "en"}},
      {"varUserRequest=REQ_VXML_SETBUSINESSUNIT&varCallID=c&varBusinessUnitName=" +
           std::string(40, 'b'),
       "REQ_VXML_SETBUSINESSUNIT", {"c", std::string(40, 'b'), "en"}},
      {"varUserRequest=REQ_HEARTBEAT&varHostName=h&varWebApp=w&varPort=80&varUserLanguage=de",
       "REQ_HEARTBEAT", {"h", "w", "80"}},
  };
  for (const auto& c : cases) {
    extension_->calls.clear();
    EXPECT_EQ(Get(c.query), static_cast<std::uint32_t>(QX_STATUS_SUCCESS)) << c.query;
    const auto& call = OnlyCall();
    EXPECT_EQ(call.handler, c.handler) << c.query;
    EXPECT_EQ(call.arguments, c.arguments) << c.query;
  }
}

TEST_F(DispatchTest, EveryRowCollectsAsManyValuesAsItsHandlerTakes) {
  Start();
  const CommonRequestValues common{"", "en", "BU"};
  for (const auto& row : DispatchTable()) {
    EXPECT_EQ(CollectHandlerArguments(row, "", common).size(), row.arguments.size());
  }
}

TEST_F(DispatchTest, RequestNamesAreCaseSensitiveAndCutAt32) {
  Start();
  Get("varuserrequest=REQ_STAT_PAGE");
  EXPECT_EQ(OnlyCall().handler, "REQ_STAT_PAGE") << "the variable name matches in any case";
  extension_->calls.clear();
  Get("varUserRequest=req_stat_page");
  EXPECT_TRUE(extension_->calls.empty());
  Get("varUserRequest=" + std::string(22, 'x') + "REQ_HANG_UP");
  EXPECT_EQ(extension_->calls.size(), 0u) << "REQ_HANG_UP ends after byte 32";
  Get("varUserRequest=" + std::string(21, 'x') + "REQ_HANG_UP");
  EXPECT_EQ(OnlyCall().handler, "REQ_HANG_UP");
}

TEST_F(DispatchTest, WebCallbackNeedsJavaScriptSupportSpelledExactly) {
  Start();
  for (const std::string value : {"YES", "", "yes please"}) {
    Get("varUserRequest=REQ_WEB_CALLBACK&varJavaScriptSupport=" + value);
  }
  Get("varUserRequest=REQ_WEB_CALLBACK");
  EXPECT_TRUE(extension_->calls.empty());
  Get("varUserRequest=REQ_WEB_CALLBACK&varJavaScriptSupport=yes&varCustomerName=Ann");
  EXPECT_EQ(OnlyCall().arguments.front(), "Ann");
}

TEST_F(DispatchTest, RefusedWebCallbackReturnsBeforeTheLeavingRecord) {
  Start();
  Get("varUserRequest=REQ_WEB_CALLBACK&varJavaScriptSupport=no");
  const auto records = RecordTexts();
  EXPECT_EQ(std::count(records.begin(), records.end(), "CRAVOExtension::CallFunction entering"), 1);
  EXPECT_EQ(std::count(records.begin(), records.end(), "CRAVOExtension::CallFunction leaving"), 0);
}

TEST_F(DispatchTest, PendingHandlerLeavesTheAnswerToTheWorker) {
  Start();
  extension_->result = CRAVOExtension::kPendingResult;
  auto request = FakeRequest::Get("varUserRequest=REQ_HANG_UP&varSessionID=1");
  EXPECT_EQ(Run(request),
            static_cast<std::uint32_t>(QX_STATUS_PENDING));
  EXPECT_EQ(request.body(), "");
  EXPECT_EQ(request.doneCount(), 0);
}

TEST_F(DispatchTest, ExceptionInAHandlerAnswers500) {
  Start("[VEKASETTINGS]\nDebugOutput=1\n");
  extension_->throw_from_handler = true;
  auto request = FakeRequest::Get("varUserRequest=REQ_HANG_UP");
  EXPECT_EQ(Run(request), static_cast<std::uint32_t>(QX_STATUS_ERROR));
  EXPECT_EQ(request.status(), 500u);
  EXPECT_NE(request.body().find("500 Internal Server Error"), std::string::npos);
  Stop();
  EXPECT_NE(dir_.Read("debug.txt").find(" CRAVOExtension::CallFunction: Unexpected exception\n"),
            std::string::npos);
}

TEST_F(DispatchTest, OtherHandlerResultsMapToHttpErrors) {
  Start();
  const std::vector<std::pair<int, std::uint32_t>> cases = {
      {0, 200}, {1, 400}, {2, 400}, {3, 501}, {5, 204}, {8, 400}, {6, 500}, {-1, 500}, {999, 500}};
  for (const auto& [result, status] : cases) {
    extension_->result = result;
    auto request = FakeRequest::Get("varUserRequest=REQ_HANG_UP");
    Run(request);
    EXPECT_EQ(request.status(), status) << result;
  }
}

TEST_F(DispatchTest, PostTakesItsVariablesFromTheBodyOrElseFromTheUrl) {
  Start();
  auto from_body = FakeRequest::Post("varUserRequest=REQ_HANG_UP&varSessionID=body \r\n",
                                     "varUserRequest=REQ_DELTA_CHAT");
  extension_->HttpExtensionProc(from_body.ecb());
  EXPECT_EQ(OnlyCall().handler, "REQ_HANG_UP");
  EXPECT_EQ(OnlyCall().arguments.front(), "body") << "trailing blanks and line ends are removed";
  extension_->calls.clear();
  auto from_url = FakeRequest::Post("", "varUserRequest=REQ_DELTA_CHAT&varSessionID=url");
  extension_->HttpExtensionProc(from_url.ecb());
  EXPECT_EQ(OnlyCall().handler, "REQ_DELTA_CHAT");
  EXPECT_EQ(OnlyCall().arguments.front(), "url");
}

TEST_F(DispatchTest, TracesEntryAndResult) {
  Start("[VEKASETTINGS]\nDebugOutput=1\n");
  Get("varUserRequest=REQ_HANG_UP");
  Stop();
  const auto trace = dir_.Read("debug.txt");
  EXPECT_NE(trace.find(" CallFunction entered\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find(" CRAVOExtension::CallFunction: returning 0\n"), std::string::npos) << trace;
}

}  // namespace
