// Callbacks through quorvix-host, the module and vekacs-sim, as the visitor's
// browser would ask for them.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/SiteTest.h"
#include "support/UrlEncode.h"

namespace {

// What a page is, told by the marks of the site's templates.
std::string Kind(const HttpResponse& response) {
  const std::string& page = response.body;
  if (response.status != 200) return "status " + std::to_string(response.status);
  for (const char* id : {"callback-request", "callback-confirmed", "callback-not-available", "callback-rejected"}) {
    if (page.find("id=\"" + std::string(id) + "\"") != std::string::npos) return std::string(id).substr(9);
  }
  const auto code = page.find("id=\"error-code\">");
  if (code != std::string::npos) {
    const auto start = code + 16;
    return "error " + page.substr(start, page.find('<', start) - start);
  }
  return "other: " + page.substr(0, 80);
}

struct Form {
  std::string name = "Ann Lee";
  std::string phone = "+49 (30) 123-456";
  std::string caption = "Invoice";
  std::string priority = "2";
  std::string callType = "S-ORDER";
  std::string schedules = "2030-01-02T10:00;2030-01-03T11:30";
  std::string offset = "-60";
  std::string extra;  // call data, already encoded
};

class CallbackEndToEndTest : public SiteTest {
 protected:
  HttpResponse Availability(const std::string& unit) {
    return host_->Get("varUserRequest=REQ_CALLBACK_AVAILABILITY&varUserLanguage=en&varBusinessUnitName=" +
                      UrlEncode(unit));
  }
  HttpResponse Send(const Form& form, const std::string& script = "yes") {
    return host_->Post("varUserRequest=REQ_WEB_CALLBACK&varUserLanguage=en&varJavaScriptSupport=" + script +
                       "&varCustomerName=" + UrlEncode(form.name) + "&varPhoneNumber=" + UrlEncode(form.phone) +
                       "&varCaption=" + UrlEncode(form.caption) + "&varPriority=" + UrlEncode(form.priority) +
                       "&varCallType=" + UrlEncode(form.callType) + "&varSchedules=" + UrlEncode(form.schedules) +
                       "&varTimezoneOffset=" + UrlEncode(form.offset) + form.extra);
  }
  // Callback requests that reached the back end.
  std::size_t Arrived() {
    const auto log = sim_.ControlLines("log");
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [](const std::string& line) {
      return line.find(" type=110 ") != std::string::npos;
    }));
  }
};

TEST_F(CallbackEndToEndTest, AvailabilityAnswersWithTheFormOrTheNotAvailablePage) {
  const auto form = Availability("Sales");
  ASSERT_EQ(Kind(form), "request") << form.body;
  for (const char* option : {"<OPTION value='S-ORDER'", "<OPTION value='S-QUOTE'", "<OPTION value='S-RETURN'"}) {
    EXPECT_NE(form.body.find(option), std::string::npos) << option;
  }
  EXPECT_NE(form.body.find(">Returns &amp; refunds</OPTION>"), std::string::npos);

  struct Case {
    const char* control;  // empty: none
    const char* unit;
    const char* kind;
  };
  const Case cases[] = {
      {"", "Atlantis", "error 3028"},
      {"callback-hours Sales 00:00-00:00", "Sales", "not-available"},
      {"callback-hours Sales 00:00-24:00", "Sales", "request"},
      {"callback-service Sales off", "Sales", "not-available"},
      {"callback-service Sales on", "Sales", "request"},
  };
  for (const auto& c : cases) {
    if (*c.control) {
      ASSERT_EQ(sim_.Control(c.control), "") << c.control;
    }
    EXPECT_EQ(Kind(Availability(c.unit)), c.kind) << c.control << " " << c.unit;
  }
}

TEST_F(CallbackEndToEndTest, TheBackEndGetsTheNineFieldsInOrderWithTheCallData) {
  Form form;
  form.extra = "&Order=4711&varBusinessUnitName=Sales";
  ASSERT_EQ(Kind(Send(form)), "confirmed");
  EXPECT_EQ(sim_.ControlLines("callbacks"),
            std::vector<std::string>{"CB1|Sales|0000|Ann Lee|+49 (30) 123-456|Invoice|2|S-ORDER|"
                                     "2030-01-02T10:00;2030-01-03T11:30|-60|Order=4711"});
}

TEST_F(CallbackEndToEndTest, EveryAnswerOfTheBackEndReachesTheVisitor) {
  struct Case {
    const char* control;
    Form form;
    const char* kind;
    const char* shown = "";  // a text the page must show
  };
  Form blocked, not_a_number, unknown_type, other_number, no_schedule;
  blocked.phone = "0900 123456";
  not_a_number.phone = "call me";
  unknown_type.callType = "X-NONE";
  other_number.phone = "030 99887";
  no_schedule.phone = "+1 555 0100";
  no_schedule.schedules = "";
  const Case cases[] = {
      {"", Form(), "confirmed"},
      {"", Form(), "confirmed"},  // already pending: confirmed again
      {"", no_schedule, "confirmed"},
      {"", blocked, "rejected", "<p id=\"reason\">We do not call premium-rate or emergency numbers.</p>"},
      {"", not_a_number, "rejected", "<p id=\"reason\">This is not a telephone number we can dial.</p>"},
      {"", unknown_type, "error 3029"},
      {"callback-service Sales off", other_number, "not-available"},
      {"callback-service Sales on", other_number, "confirmed"},
      {"callback-hours Sales 00:00-00:00", Form(), "not-available"},
  };
  for (const auto& c : cases) {
    if (*c.control) {
      ASSERT_EQ(sim_.Control(c.control), "") << c.control;
    }
    const auto answer = Send(c.form);
    EXPECT_EQ(Kind(answer), c.kind) << c.control << " " << c.form.phone << " " << c.form.callType;
    EXPECT_NE(answer.body.find(c.shown), std::string::npos) << c.shown;
  }
  EXPECT_EQ(sim_.ControlLines("callbacks").size(), 3u) << "the repeated number is stored once";
}

TEST_F(CallbackEndToEndTest, BadFieldsGetAPageAndOnlyWhatFitsReachesTheBackEnd) {
  EXPECT_EQ(Kind(Send(Form(), "YES")), "error 1008");
  EXPECT_EQ(Kind(Send(Form(), "")), "error 1008");
  EXPECT_EQ(Arrived(), 0u);
  const std::string values[] = {"", std::string(100 * 1024, 'x'), std::string("\x01\x00\xff\x7f\r\n", 6),
                                "<script>alert('x')</script>&amp;\""};
  std::string Form::*const fields[] = {&Form::name, &Form::phone, &Form::caption, &Form::priority,
                                         &Form::callType, &Form::schedules, &Form::offset};
  const std::vector<std::string> pages = {"confirmed", "rejected", "not-available", "error 3029"};
  int phone = 0;
  for (std::size_t f = 0; f < std::size(fields); ++f) {
    for (const auto& value : values) {
      Form form;
      form.phone = "040 " + std::to_string(1000 + ++phone);
      form.*fields[f] = value;
      const std::size_t before = Arrived();
      const auto answer = Send(form);
      const std::string what = "field " + std::to_string(f) + " of " + std::to_string(value.size()) + " bytes";
      if (value.size() > 9999) {
        EXPECT_EQ(Kind(answer), "error 1012") << what;
        EXPECT_EQ(Arrived(), before) << what;
      } else {
        EXPECT_NE(std::find(pages.begin(), pages.end(), Kind(answer)), pages.end()) << what << ": " << Kind(answer);
        EXPECT_EQ(Arrived(), before + 1) << what;
      }
      Form next;
      next.phone = "041 " + std::to_string(phone);
      EXPECT_EQ(Kind(Send(next)), "confirmed") << "after " << what;
    }
  }
}

}  // namespace
