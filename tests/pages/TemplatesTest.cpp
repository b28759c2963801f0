#include "pages/Templates.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/ExtensionFixture.h"

namespace {

class TemplatesTest : public ExtensionFixture<> {
 protected:
  int CountRecords(const std::string& text) {
    const auto records = RecordTexts();
    return static_cast<int>(std::count(records.begin(), records.end(), text));
  }
};

TEST_F(TemplatesTest, LoadsTheLanguagesFileByteForByte) {
  using namespace std::string_literals;
  const std::string content = "line one\r\nline two\n\xE4\xF6\xFC\0end"s;
  dir_.Write("html/de/Chat.htm", content);
  auto& extension = Start("[WEBSETTINGS]\nChatFrame=Chat.htm\nDefaultLanguage=en\n");
  std::string text;
  EXPECT_TRUE(extension.GetLangSpecificWebPage("ChatFrame", text, "de", 0));
  EXPECT_EQ(text, content);
}

TEST_F(TemplatesTest, FallsBackOnceToTheDefaultLanguage) {
  dir_.Write("html/en/Chat.htm", "english");
  auto& extension = Start("[WEBSETTINGS]\nChatFrame=Chat.htm\nDefaultLanguage=en\n");
  std::string text;
  EXPECT_TRUE(extension.GetLangSpecificWebPage("ChatFrame", text, "fr", 0));
  EXPECT_EQ(text, "english");
  EXPECT_EQ(CountRecords("Could not find ChatFrame.htm for fr"), 1);

  EXPECT_FALSE(extension.GetLangSpecificWebPage("GeneralError", text, "fr", 0));
  EXPECT_EQ(text, "");
  EXPECT_EQ(CountRecords("Could not find GeneralError.htm for fr"), 1);
  EXPECT_EQ(CountRecords("Could not find GeneralError.htm for en"), 1);
}

TEST_F(TemplatesTest, EmptyFilesCountAsMissingAndPathsNeedALanguage) {
  dir_.Write("html/en/Empty.htm", "");
  dir_.Write("fixed/Page.htm", "fixed");
  dir_.Write("html/en/Page.htm", "per language");
  auto& extension = Start("[WEBSETTINGS]\nChatFrame=Empty.htm\nDefaultLanguage=en\n");
  std::string text;
  EXPECT_FALSE(extension.GetLangSpecificWebPage("ChatFrame", text, "en", 0));
  Stop();

  auto& fixed = Start("[WEBSETTINGS]\nDefaultPath=" + dir_.path() + "fixed/\nChatFrame=Page.htm\n");
  text = "untouched";
  EXPECT_FALSE(fixed.GetLangSpecificWebPage("ChatFrame", text, "en", 0));
  EXPECT_EQ(text, "untouched") << "a path without a language is not loaded at all";
  Stop();

  auto& keyed = Start("[WEBSETTINGS]\nDefaultPath=" + dir_.path() + "html/\nChatFrame=<WCLANGUAGE>/Page.htm\n");
  EXPECT_TRUE(keyed.GetLangSpecificWebPage("ChatFrame", text, "en", 0));
  EXPECT_EQ(text, "per language");
}

TEST_F(TemplatesTest, TemplatesAreReadAgainForEveryPage) {
  dir_.Write("html/en/Chat.htm", "first");
  auto& extension = Start("[WEBSETTINGS]\nChatFrame=Chat.htm\n");
  std::string text;
  ASSERT_TRUE(extension.GetLangSpecificWebPage("ChatFrame", text, "en", 0));
  dir_.Write("html/en/Chat.htm", "second");
  ASSERT_TRUE(extension.GetLangSpecificWebPage("ChatFrame", text, "en", 0));
  EXPECT_EQ(text, "second");
}

// A release switched by a link, the way sites are often deployed: the
// templates of the new release are inside the template folder as much as the
// old ones were, and those the link no longer reaches are not.
TEST_F(TemplatesTest, ATemplateFolderReachedThroughALinkFollowsTheLink) {
  dir_.Write("v1/en/Chat.htm", "release one");
  dir_.Write("v2/en/Chat.htm", "release two");
  ASSERT_EQ(symlink((dir_.path() + "v1").c_str(), (dir_.path() + "current").c_str()), 0);
  auto& extension = Start("[WEBSETTINGS]\nDefaultPath=" + dir_.path() + "current/\nChatFrame=<WCLANGUAGE>/Chat.htm\n");
  std::string text;
  ASSERT_TRUE(extension.GetLangSpecificWebPage("ChatFrame", text, "en", 0));
  EXPECT_EQ(text, "release one");
  const auto point_current_at = [&](const char* release) {
    ASSERT_EQ(symlink((dir_.path() + release).c_str(), (dir_.path() + "next").c_str()), 0);
    ASSERT_EQ(rename((dir_.path() + "next").c_str(), (dir_.path() + "current").c_str()), 0);
  };
  point_current_at("v2");
  for (int page = 0; page < 2; ++page) {
    EXPECT_TRUE(extension.GetLangSpecificWebPage("ChatFrame", text, "en", 0));
    EXPECT_EQ(text, "release two");
  }
  // A link inside the new release back into the old one leads outside.
  ASSERT_EQ(symlink((dir_.path() + "v1/en").c_str(), (dir_.path() + "v2/old").c_str()), 0);
  EXPECT_FALSE(extension.GetLangSpecificWebPage("ChatFrame", text, "old", 1));
  point_current_at("v1");
  EXPECT_TRUE(extension.GetLangSpecificWebPage("ChatFrame", text, "en", 0));
  EXPECT_EQ(text, "release one");
}

TEST(LoadTextFileTest, RefusesWhatIsNotARegularFile) {
  TempDir dir;
  std::string text = "stale";
  EXPECT_FALSE(LoadTextFile(dir.path() + "missing", text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(LoadTextFile(dir.path(), text));
  ASSERT_EQ(mkfifo((dir.path() + "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(LoadTextFile(dir.path() + "fifo", text)) << "and does not hang on a FIFO";
}

TEST(PageNameTest, OnlyFilesDirectlyInsideTheFolder) {
  TempDir dir;
  dir.Write("html/en/stats.htm", "x");
  dir.Write("secret.txt", "secret");
  const std::string folder = dir.path() + "html/en/";
  ASSERT_EQ(symlink((dir.path() + "secret.txt").c_str(), (folder + "link.htm").c_str()), 0);
  EXPECT_TRUE(IsSafePageName("stats.htm", folder));
  EXPECT_TRUE(IsSafePageName("missing.htm", folder));
  for (const std::string& bad : std::vector<std::string>{"", ".", "..", "../secret.txt", "..\\secret.txt",
                                                        "a/b", "/etc/passwd", "x..y", "link.htm",
                                                        std::string("a\0b", 3)}) {
    EXPECT_FALSE(IsSafePageName(bad, folder)) << bad;
  }
}

TEST(TemplateRootTest, TheFolderHoldingTheLanguageFolders) {
  EXPECT_EQ(TemplateRoot("/srv/site/html/<WCLANGUAGE>/"), "/srv/site/html/");
  EXPECT_EQ(TemplateRoot("/srv/site/pages-<WCLANGUAGE>/"), "/srv/site/");
  EXPECT_EQ(TemplateRoot("/srv/site/fixed/"), "/srv/site/fixed/");
}

}  // namespace
