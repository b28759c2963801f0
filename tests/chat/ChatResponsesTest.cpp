// The chat response handlers given back-end answers of every kind, with the
// site's own templates.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/ResponseHandlerFixture.h"

namespace {

// A response message of type with fields; long marks the 8-digit fields.
std::string Response(int type, const std::vector<std::string>& fields, int long_index = -1) {
  std::string body;
  char prefix[16];
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::snprintf(prefix, sizeof prefix, static_cast<int>(i) == long_index ? "%08zu" : "%04zu", fields[i].size());
    body += prefix + fields[i];
  }
  char header[40];
  std::snprintf(header, sizeof header, "10.04.00.0009%08zu%08X%04d%04zu", body.size() + 37, 1u, type, fields.size());
  return header + body;
}

class ChatResponsesTest : public ResponseHandlerFixture {
 protected:
  void SetUp() override {
    ResponseHandlerFixture::SetUp();
    info_.language = "en";
    info_.sessionId = "S<1>";
    info_.indexKey = "7";
  }
};

TEST_F(ChatResponsesTest, PollDeliversTextForTheScriptAndTheNewIndex) {
  const auto page = Page(&CRAVOExtension::RESP_DELTA_CHAT, true,
                         Response(51, {"0", "Alex: say \"hi\" C:\\dir", "", "A1", "12", "Alex"}, 1));
  // Escaped for the HTML it travels in, then for the script string it is.
  EXPECT_NE(page.find("chat=\"Alex: say &quot;hi&quot; C:\\\\dir\"\n"), std::string::npos) << page;
  EXPECT_NE(page.find("index=12\n"), std::string::npos);
  EXPECT_NE(page.find("agent=A1\n"), std::string::npos);
  EXPECT_NE(page.find("typing=Alex typing...\n"), std::string::npos);
  EXPECT_NE(page.find("error=\n"), std::string::npos);
}

// Whatever the back end echoes onto the poll page (the chat, the push URL,
// the agent key, the index, the name of who is typing) arrives as text, never
// as markup.
TEST_F(ChatResponsesTest, MarkupInAnyPollFieldArrivesEscaped) {
  const std::string markup = "<img src=x onerror=alert(1)>";
  for (std::size_t field = 1; field <= 5; ++field) {
    SCOPED_TRACE(field);
    std::vector<std::string> fields = {"0", "hi", "", "A1", "12", "Alex"};
    fields[field] = markup;
    const auto page = Page(&CRAVOExtension::RESP_DELTA_CHAT, true, Response(51, fields, 1));
    EXPECT_EQ(page.find("<img"), std::string::npos) << page;
    EXPECT_NE(page.find("&lt;img src=x onerror=alert&#x28;1&#x29;&gt;"), std::string::npos) << page;
  }
}

TEST_F(ChatResponsesTest, ForbiddenQuoteEmptiesKeyUrlAndIndexWith1011) {
  const auto page = Page(&CRAVOExtension::RESP_DELTA_CHAT, true,
                         Response(51, {"0", "still shown", "http://x\"y", "A1", "12", ""}, 1));
  EXPECT_NE(page.find("error=1011\n"), std::string::npos) << page;
  EXPECT_NE(page.find("index=\n"), std::string::npos);
  EXPECT_NE(page.find("agent=\n"), std::string::npos);
  EXPECT_NE(page.find("push=\n"), std::string::npos);
  EXPECT_NE(page.find("chat=\"still shown\""), std::string::npos);
  const auto records = RecordTexts();
  EXPECT_NE(std::find(records.begin(), records.end(),
                      "Could not execute REQ_DELTA_CHAT for S<1> server returned forbidden symbol"),
            records.end());
}

TEST_F(ChatResponsesTest, ErrorCodeKeepsThePlaceholderAndTheBrowsersIndex) {
  const auto page = Page(&CRAVOExtension::RESP_DELTA_CHAT, true, Response(51, {"0042"}));
  EXPECT_NE(page.find("error=0042\n"), std::string::npos) << page;
  EXPECT_NE(page.find("index=7\n"), std::string::npos);
  EXPECT_NE(page.find("chat=\"<WCCHATDATA>\""), std::string::npos);
  const auto failed = Page(&CRAVOExtension::RESP_DELTA_CHAT, false, "");
  EXPECT_NE(failed.find("error=1003\n"), std::string::npos);
}

TEST_F(ChatResponsesTest, DisconnectAndTransferPages) {
  EXPECT_EQ(Page(&CRAVOExtension::RESP_DELTA_CHAT, true, Response(51, {"2001"})),
            "QXCHAT disconnect\nmessage=The agent has left the chat.\n");
  EXPECT_EQ(Page(&CRAVOExtension::RESP_DELTA_CHAT, true, Response(51, {"2005", "Sam (Billing)"}, 1)),
            "QXCHAT transfer\ntarget=Sam &#x28;Billing&#x29;\n");
}

TEST_F(ChatResponsesTest, SummaryAboveTheShortFieldLimitArrivesWholeAndAsText) {
  const std::string transcript = "Ann: &lt;b&gt;hi&lt;/b&gt;<BR>Alex: <script>x()</script>" + std::string(20000, 'z');
  const auto page = Page(&CRAVOExtension::RESP_HANG_UP, true,
                         Response(71, {"0", "S<1>", "Ann <i>", "Q & A", transcript}, 4));
  EXPECT_NE(page.find(std::string(20000, 'z')), std::string::npos);
  EXPECT_EQ(page.find("<script>x()"), std::string::npos) << "agent markup is shown as text";
  EXPECT_NE(page.find("Alex: &lt;script&gt;x&#x28;&#x29;"), std::string::npos);
  EXPECT_NE(page.find("Ann: &lt;b&gt;hi&lt;&#x2F;b&gt;<BR>Alex"), std::string::npos) << "line breaks stay";
  EXPECT_NE(page.find(">Ann &lt;i&gt;</strong>"), std::string::npos);
  EXPECT_NE(page.find("Q &amp; A"), std::string::npos);
}

TEST_F(ChatResponsesTest, StartAndHangUpErrorsBecomeErrorPages) {
  const auto start_error = Page(&CRAVOExtension::RESP_JS_START, true, Response(21, {"abc", "S9"}));
  EXPECT_NE(start_error.find("data-session=\"S9\""), std::string::npos) << "abc reads as 0: success";
  const auto failed = Page(&CRAVOExtension::RESP_JS_START, true, Response(21, {"17"}));
  EXPECT_NE(failed.find(">17</span>"), std::string::npos) << failed;
  const auto hang_up = Page(&CRAVOExtension::RESP_HANG_UP, true, Response(71, {"0042"}));
  EXPECT_NE(hang_up.find(">0042</span>"), std::string::npos) << "the text as received";
  const auto escaped = Page(&CRAVOExtension::RESP_JS_START, true, Response(21, {"0", "a<b&c"}));
  EXPECT_NE(escaped.find("data-session=\"a&lt;b&amp;c\""), std::string::npos);
}

TEST_F(ChatResponsesTest, PostControlPageCarriesTheCodeAsANumber) {
  EXPECT_NE(Page(&CRAVOExtension::RESP_ADD_TO_CHAT, true, Response(41, {"0"})).find("error=\n"), std::string::npos);
  EXPECT_NE(Page(&CRAVOExtension::RESP_ADD_TO_CHAT, true, Response(41, {"0042"})).find("error=42\n"),
            std::string::npos);
  EXPECT_NE(Page(&CRAVOExtension::RESP_ADD_TO_CHAT, false, "").find("error=1003\n"), std::string::npos);
  EXPECT_EQ(Page(&CRAVOExtension::RESP_NOTIFY_TIPYNG_CHAT, true, Response(311, {"0"})), "");
}

TEST_F(ChatResponsesTest, CallMeShowsTheNumberTheBackEndWillCall) {
  const auto page = Page(&CRAVOExtension::RESP_CALLME_EVENT, true, Response(81, {"0", "Ann", "+4930123"}));
  EXPECT_NE(page.find("We will call you at +4930123."), std::string::npos) << page;
}

TEST_F(ChatResponsesTest, PollWithTheBackEndDownGives1002AndKeepsTheIndex) {
  // Nothing listens on the back-end port: the pool gives up after ten seconds.
  auto request = FakeRequest::Get("varUserRequest=REQ_DELTA_CHAT&varSessionID=S1&varIndexKey=5&varUserLanguage=en");
  EXPECT_EQ(extension_->HttpExtensionProc(request.ecb()), static_cast<std::uint32_t>(QX_STATUS_SUCCESS));
  const auto page = request.body();
  EXPECT_NE(page.find("error=1002\n"), std::string::npos) << page;
  EXPECT_NE(page.find("index=5\n"), std::string::npos);
  EXPECT_NE(page.find("chat=\"<WCCHATDATA>\""), std::string::npos);
}

}  // namespace
