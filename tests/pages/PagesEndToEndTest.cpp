// The assembled site folder served by quorvix-host.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "support/HttpClient.h"
#include "support/SiteTest.h"

namespace {

class PagesEndToEndTest : public SiteTest {
 protected:
  PagesEndToEndTest() : SiteTest({}) {}
};

TEST_F(PagesEndToEndTest, MainPageInEnglishAndGermanWithTheBusinessUnitEscaped) {
  const auto english = host_->Get("varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en"
                                  "&varBusinessUnitName=Sales+%26+%3Cb%3EService%3C%2Fb%3E");
  EXPECT_EQ(english.status, 200);
  EXPECT_NE(english.body.find("Start chat"), std::string::npos);
  EXPECT_NE(english.body.find("Sales &amp; &lt;b&gt;Service&lt;&#x2F;b&gt;"), std::string::npos);
  EXPECT_EQ(english.body.find("<b>Service"), std::string::npos);
  EXPECT_NE(english.body.find("action=\"quorvix.so\""), std::string::npos);
  EXPECT_EQ(english.body.find("<WC"), std::string::npos) << "every placeholder is filled";

  const auto german = host_->Get("varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=de&varBusinessUnitName=Vertrieb");
  EXPECT_EQ(german.status, 200);
  EXPECT_NE(german.body.find("Chat starten"), std::string::npos);
  EXPECT_NE(german.body.find("Vertrieb"), std::string::npos);
}

// A link in the static folder is served only when it leads to a file inside
// the folder, also when a sibling folder's name begins with the folder's.
TEST_F(PagesEndToEndTest, StaticLinksNeverLeadIntoASiblingFolder) {
  site_.Write("static-old/secret.txt", "old secret");
  ASSERT_EQ(symlink("../static-old/secret.txt", (site_.path() + "static/old.txt").c_str()), 0);
  ASSERT_EQ(symlink("../static-old", (site_.path() + "static/older").c_str()), 0);
  ASSERT_EQ(symlink("chat.css", (site_.path() + "static/same.css").c_str()), 0);
  const std::string app = host_->path().substr(0, host_->path().rfind('/'));
  const struct {
    const char* file;
    int status;
  } rows[] = {{"old.txt", 404}, {"older/secret.txt", 404}, {"same.css", 200}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    const auto answer = HttpFetch(host_->port(), "GET", app + "/static/" + row.file);
    EXPECT_EQ(answer.status, row.status);
    EXPECT_EQ(answer.body.find("old secret"), std::string::npos);
  }
}

TEST_F(PagesEndToEndTest, UnknownRequestShowsTheErrorPageWithItsCode) {
  const auto page = host_->Get("varUserRequest=REQ_NOTHING&varUserLanguage=de");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<span class=\"code\" id=\"error-code\">1010</span>"), std::string::npos);
  EXPECT_NE(page.body.find("Zur&uuml;ck zur Startseite"), std::string::npos);
  const auto traversal = host_->Get("varUserRequest=REQ_STAT_PAGE&varPageName=..%2F..%2FRAVO.ini");
  EXPECT_NE(traversal.body.find(">1006<"), std::string::npos);
  EXPECT_EQ(traversal.body.find("Password"), std::string::npos);
}

}  // namespace
