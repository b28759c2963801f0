// The callback response handlers given back-end answers of every kind, with
// the site's own templates.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "protocol/Message.h"
#include "support/ResponseHandlerFixture.h"

namespace {

std::string Response(int type, const std::vector<std::string>& fields) {
  return protocol::EncodeMessage(protocol::kVersion, 1, type, fields);
}

// What a page is, told by the marks of the site's templates.
std::string Kind(const std::string& page) {
  if (page.find("id=\"callback-request\"") != std::string::npos) return "form";
  if (page.find("id=\"callback-confirmed\"") != std::string::npos) return "confirmed";
  if (page.find("id=\"callback-not-available\"") != std::string::npos) return "not-available";
  if (page.find("id=\"callback-rejected\"") != std::string::npos) return "rejected";
  const auto code = page.find("id=\"error-code\">");
  if (code != std::string::npos) {
    const auto start = code + 16;
    return "error " + page.substr(start, page.find('<', start) - start);
  }
  return "other: " + page.substr(0, 60);
}

class CallbackResponsesTest : public ResponseHandlerFixture {
 protected:
  using Handler = int (CRAVOExtension::*)(bool, CHttpServerContext*, AsyncRequestInfo*, const std::string&,
                                          const std::string&);
  void SetUp() override {
    ResponseHandlerFixture::SetUp();
    info_.language = "de";
  }
};

TEST_F(CallbackResponsesTest, EveryAnswerCodeGetsItsPage) {
  struct Case {
    Handler handler;
    bool ok;
    std::vector<std::string> fields;
    std::string kind;
  };
  const Handler availability = &CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY;
  const Handler callback = &CRAVOExtension::RESP_WEB_CALLBACK;
  const Case cases[] = {
      {availability, true, {"0", ""}, "form"},
      {availability, true, {"0"}, "form"},
      {availability, true, {"10"}, "not-available"},
      {availability, true, {"13"}, "not-available"},
      {availability, true, {"11"}, "error 11"},
      {availability, true, {"3020"}, "error 3020"},
      {availability, true, {"-4"}, "error -4"},
      {availability, false, {}, "error 1003"},
      {callback, true, {"0"}, "confirmed"},
      {callback, true, {"12", "CB1"}, "confirmed"},
      {callback, true, {"10"}, "not-available"},
      {callback, true, {"13"}, "not-available"},
      {callback, true, {"11", "no"}, "rejected"},
      {callback, true, {"11"}, "rejected"},
      {callback, true, {"1"}, "error 1"},
      {callback, true, {"9"}, "error 9"},
      {callback, true, {"14"}, "error 14"},
      {callback, true, {"007"}, "error 007"},
      {callback, true, {"-12"}, "error -12"},
      {callback, false, {}, "error 1003"},
  };
  for (const auto& c : cases) {
    const int type = c.handler == availability ? 101 : 111;
    const std::string code = c.fields.empty() ? "failed" : c.fields.front();
    EXPECT_EQ(Kind(Page(c.handler, c.ok, c.ok ? Response(type, c.fields) : "")), c.kind)
        << "type " << type << " code " << code;
  }
}

TEST_F(CallbackResponsesTest, FormListsTheCallTypesAndTheRejectionShowsItsReasonAsText) {
  const std::string form = Page(&CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY, true,
                                Response(101, {"0", "\x10" "10\x0F" "A\x0F\x10" "2\x0F" "B\x0F\x10" "3\x0F" "C\x10"}));
  EXPECT_NE(form.find("name=\"varCallType\" required aria-describedby=\"call-type-error\">"
                      "<OPTION value='3' selected>Unknown</OPTION><OPTION value='2'>B</OPTION>"
                      "<OPTION value='10'>A</OPTION></select>"),
            std::string::npos)
      << form;
  EXPECT_EQ(form.find("<WC"), std::string::npos) << "every placeholder filled";
  EXPECT_NE(form.find("lang=\"de\""), std::string::npos);

  const std::string rejected = Page(&CRAVOExtension::RESP_WEB_CALLBACK, true,
                                    Response(111, {"11", "<img src=x onerror=alert(1)> 0900 numbers"}));
  EXPECT_NE(rejected.find("<p id=\"reason\">&lt;img src=x onerror=alert&#x28;1&#x29;&gt; 0900 numbers</p>"),
            std::string::npos)
      << rejected;
  const std::string no_reason = Page(&CRAVOExtension::RESP_WEB_CALLBACK, true, Response(111, {"11"}));
  EXPECT_NE(no_reason.find("<p id=\"reason\"></p>"), std::string::npos) << no_reason;
}

TEST_F(CallbackResponsesTest, TheCallTypeMessageInATemplateAttributeStaysInside) {
  for (const char* language : {"en", "de"}) {
    dir_.Write(std::string("html/") + language + "/WebCallback.htm", "<input value='<WCCALLTYPEMSG>'>");
  }
  const std::string page = Page(&CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY, true,
                                Response(101, {"0", "\x10" "1\x0F" "x'><script>\x0F\x10"}));
  EXPECT_EQ(page, "<input value='\x10" "1\x0F" "x&#x27;&gt;&lt;script&gt;\x0F\x10'>");
}

TEST_F(CallbackResponsesTest, MissingResultPageGivesTheBackEndCodeAndTheRowsContextWord) {
  for (const char* language : {"en", "de"}) {
    std::filesystem::remove(dir_.path() + "html/" + language + "/WebCallbackConfirmed.htm");
    std::filesystem::remove(dir_.path() + "html/" + language + "/WebCallbackNotAvailable.htm");
    std::filesystem::remove(dir_.path() + "html/" + language + "/WebCallback.htm");
  }
  struct Case {
    Handler handler;
    int type;
    std::string code;
    std::string kind;
    std::string record;
  };
  const Case cases[] = {
      {&CRAVOExtension::RESP_WEB_CALLBACK, 111, "0", "error 0", "0:KEY_WEB_CALLBACK_CONFIRM_PG"},
      {&CRAVOExtension::RESP_WEB_CALLBACK, 111, "13", "error 13", "13:KEY_WEB_CALLBACK_NOTAVAILABLE_PG"},
      {&CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY, 101, "10", "error 10",
       "10:CANNOT_ACCESS_WEB_CALLBACK_NOTAVAILABLE_PG"},
      {&CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY, 101, "0", "error 1006", "1006:REQ_CALLBACK_DATA_PG"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Kind(Page(c.handler, true, Response(c.type, {c.code}))), c.kind) << c.record;
    const auto records = RecordTexts();
    EXPECT_NE(std::find(records.begin(), records.end(), c.record), records.end()) << c.record;
  }
}

}  // namespace
