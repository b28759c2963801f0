// Pages answered without the back end, and error pages, through the frame.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/ExtensionFixture.h"

namespace {

class PagesTest : public ExtensionFixture<> {
 protected:
  FakeRequest Run(const std::string& query) {
    auto request = FakeRequest::Get(query);
    EXPECT_EQ(extension_->HttpExtensionProc(request.ecb()), static_cast<std::uint32_t>(QX_STATUS_SUCCESS));
    EXPECT_EQ(request.status(), 200u);
    return request;
  }
  static constexpr const char* kIni =
      "[WEBSETTINGS]\nDefaultLanguage=en\nGeneralError=GeneralError.htm\n"
      "CaptureCallData=Capture.htm\n";
};

TEST_F(PagesTest, BuiltInErrorPageIsExactWhenNoTemplateExists) {
  EXPECT_EQ(CRAVOExtension::kBuiltInErrorPage.size(), 192u);
  Start(kIni);
  const auto answer = Run("varUserRequest=REQ_UNKNOWN");
  std::string expected(CRAVOExtension::kBuiltInErrorPage);
  expected.replace(expected.find("<WCERRORCODE>"), 13, "1010");
  EXPECT_EQ(answer.body(), expected);
  const auto records = RecordTexts();
  EXPECT_NE(std::find(records.begin(), records.end(), "1010: "), records.end());
}

TEST_F(PagesTest, ErrorPageKeepsTheRequestedLanguageInTheDefaultTemplate) {
  dir_.Write("html/en/GeneralError.htm", "code=<WCERRORCODE> lang=<WCLANGUAGE> app=<WCSERVLET>");
  Start(kIni);
  EXPECT_EQ(Run("varUserRequest=REQ_WEB_CALLBACK&varUserLanguage=fr").body(),
            "code=1008 lang=fr app=quorvix.so");
}

TEST_F(PagesTest, MainPageEscapesTheBusinessUnit) {
  dir_.Write("html/de/Capture.htm", "<WCBUSINESSUNITNAME>|<WCSERVLET>|<WCLANGUAGE>");
  Start(kIni);
  EXPECT_EQ(Run("varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=de&varBusinessUnitName=Sales+%26+Service")
                .body(),
            "Sales &amp; Service|quorvix.so|de");
  EXPECT_EQ(Run("varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=de&varBusinessUnitName=%3Cb%3E%22x").body(),
            "&lt;b&gt;&quot;x|quorvix.so|de");
}

TEST_F(PagesTest, MissingMainPageGivesError1006) {
  dir_.Write("html/en/GeneralError.htm", "error <WCERRORCODE>");
  Start(kIni);
  EXPECT_EQ(Run("varUserRequest=REQ_WEBCHAT_MAIN").body(), "error 1006");
}

TEST_F(PagesTest, StatPageFromTheLanguageOrTheDefaultFolder) {
  dir_.Write("html/de/stats.htm", "de <WCLANGUAGE> <WCSERVLET>");
  dir_.Write("html/en/only-en.htm", "en file for <WCLANGUAGE>");
  dir_.Write("html/en/GeneralError.htm", "error <WCERRORCODE>");
  Start(kIni);
  EXPECT_EQ(Run("varUserRequest=REQ_STAT_PAGE&varPageName=stats.htm&varUserLanguage=de").body(),
            "de de quorvix.so");
  EXPECT_EQ(Run("varUserRequest=REQ_STAT_PAGE&varPageName=only-en.htm&varUserLanguage=de").body(),
            "en file for de");
  EXPECT_EQ(Run("varUserRequest=REQ_STAT_PAGE").body(), "error 1006");
  EXPECT_EQ(Run("varUserRequest=REQ_STAT_PAGE&varPageName=nowhere.htm").body(), "error 1006");
}

TEST_F(PagesTest, StatPageNeverReadsOutsideTheTemplateFolder) {
  dir_.Write("html/en/GeneralError.htm", "error <WCERRORCODE>");
  dir_.Write("html/secret.htm", "secret one level up");
  Start(kIni);
  for (const std::string payload :
       {"../secret.htm", "..%2Fsecret.htm", "%2E%2E%2Fsecret.htm", "..%5Csecret.htm", "..%2F..%2FRAVO.ini",
        "%2Fetc%2Fpasswd", "/etc/passwd", "..", "stats.htm%00.txt", "%2e%2e/%2e%2e/RAVO.ini",
        "....//secret.htm"}) {
    const auto body = Run("varUserRequest=REQ_STAT_PAGE&varUserLanguage=en&varPageName=" + payload).body();
    EXPECT_EQ(body, "error 1006") << payload;
  }
}

TEST_F(PagesTest, EveryServedFileLiesInsideTheTemplateRoot) {
  dir_.Write("html/en/GeneralError.htm", "error <WCERRORCODE>");
  dir_.Write("html/fr/page.htm", "page for <WCLANGUAGE>");
  dir_.Write("html/fr/Capture.htm", "capture for <WCLANGUAGE>");
  dir_.Write("html/de/.keep", "");
  dir_.Write("outside/secret.htm", "secret");
  dir_.Write("outside/Capture.htm", "outside capture");
  const auto link = [this](const std::string& target, const std::string& name) {
    ASSERT_EQ(symlink(target.c_str(), (dir_.path() + name).c_str()), 0) << name;
  };
  link(dir_.path() + "outside", "html/xx");
  link("fr", "html/fr-ca");
  link(dir_.path() + "outside/secret.htm", "html/de/link.htm");
  link(dir_.path() + "outside/Capture.htm", "html/de/Capture.htm");
  Start(kIni);
  struct Case {
    const char* what;
    std::string query;
    const char* body;
  };
  const std::string page = "varUserRequest=REQ_STAT_PAGE&varUserLanguage=";
  const std::string main = "varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=";
  for (const Case& c : std::vector<Case>{
           {"language folder linked outside", page + "xx&varPageName=secret.htm", "error 1006"},
           {"language folder linked outside, template", main + "xx", "error 1006"},
           {"language folder linked to another inside", page + "fr-ca&varPageName=page.htm", "page for fr-ca"},
           {"language folder linked to another inside, template", main + "fr-ca", "capture for fr-ca"},
           {"page file linked outside", page + "de&varPageName=link.htm", "error 1006"},
           {"template file linked outside", main + "de", "error 1006"},
           {"page name climbing out", page + "fr&varPageName=..%2F..%2Foutside%2Fsecret.htm", "error 1006"},
       }) {
    EXPECT_EQ(Run(c.query).body(), c.body) << c.what;
  }
}

TEST_F(PagesTest, OutputPageWithoutTextSendsTheErrorTemplateAsIs) {
  dir_.Write("html/en/GeneralError.htm", "<WCERRORCODE> <WCSERVLET> <WCLANGUAGE>");
  auto& extension = Start(kIni);
  QX_EXTENSION_CONTROL_BLOCK ecb{};
  CHttpServerContext ctx(&ecb);
  ctx.m_pStream = std::make_unique<CHtmlStream>();
  extension.OutputPage("", "en", &ctx, false);
  EXPECT_EQ(ctx.m_pStream->Text(), "1006 <WCSERVLET> <WCLANGUAGE>");

  dir_.Write("html/en/GeneralError.htm", "");
  ctx.m_pStream->Reset();
  extension.OutputPage("", "en", &ctx, false);
  std::string expected(CRAVOExtension::kBuiltInErrorPage);
  expected.replace(expected.find("<WCERRORCODE>"), 13, "1006");
  EXPECT_EQ(ctx.m_pStream->Text(), expected);
  const auto records = RecordTexts();
  EXPECT_NE(std::find(records.begin(), records.end(), "1006:OutputPage"), records.end());
}

TEST_F(PagesTest, WritingAPageWithoutAStreamIsTheDispatchersException) {
  dir_.Write("html/en/GeneralError.htm", "x");
  auto& extension = Start(kIni);
  QX_EXTENSION_CONTROL_BLOCK ecb{};
  CHttpServerContext ctx(&ecb);
  EXPECT_THROW(extension.OutputPage("page", "en", &ctx, false), std::invalid_argument);
  EXPECT_THROW(extension.OutputPage("", "en", &ctx, false), std::invalid_argument);
}

}  // namespace
