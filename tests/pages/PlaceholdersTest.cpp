#include "pages/Placeholders.h"

#include <gtest/gtest.h>

namespace {

TEST(EncodeHTMLEscapeTest, EscapesTheEightCharactersButKeepsLtAndGt) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a<b>&c", "a&lt;b&gt;&amp;c"},
      {"&lt;script&gt;", "&lt;script&gt;"},
      {"&amp;", "&amp;amp;"},
      {"&quot;", "&amp;quot;"},
      {"say \"hi\" (it's me)/you", "say &quot;hi&quot; &#x28;it&#x27;s me&#x29;&#x2F;you"},
      {"ends &lt", "ends &amp;lt"},
      {"&", "&amp;"},
      {"", ""},
      {"plain text", "plain text"},
      {"<script>alert(1)</script>", "&lt;script&gt;alert&#x28;1&#x29;&lt;&#x2F;script&gt;"},
  };
  for (const auto& [input, expected] : cases) {
    std::string text = input;
    EncodeHTMLEscape(text);
    EXPECT_EQ(text, expected) << input;
  }
}

TEST(ReplacePlaceholderTest, ReplacesEveryExactOccurrenceOnce) {
  std::string text = "<WCSERVLET>?a <WCSERVLET> <wcservlet> <WCSERVLET>";
  EXPECT_EQ(ReplacePlaceholder(text, "<WCSERVLET>", "m.so"), 3);
  EXPECT_EQ(text, "m.so?a m.so <wcservlet> m.so");
  std::string self = "<WCX>";
  EXPECT_EQ(ReplacePlaceholder(self, "<WCX>", "<WCX><WCX>"), 1) << "inserted values are not searched again";
  EXPECT_EQ(self, "<WCX><WCX>");
  std::string removed = "a<WCX>b";
  EXPECT_EQ(ReplacePlaceholder(removed, "<WCX>", ""), 1);
  EXPECT_EQ(removed, "ab");
  EXPECT_EQ(ReplacePlaceholder(removed, "<WCX>", "x"), 0);
}

TEST(ChatPageTest, LaterPlaceholdersInsideEarlierValuesAreReplacedToo) {
  std::string page = "<WCSESSIONID>|<WCCHATDATA>|<WCPUSHURL>|<WCINDEX>|<WCERRORCODE>|<WCLANGUAGE>|"
                     "<WCAGENTKEY>|<WCSERVLET>|<WCWHOISTYPING>";
  SubstituteChatPage(page,
                     {.sessionId = "s<1>", .chatData = "hi <WCINDEX>", .pushUrl = "p", .index = "7&8",
                      .errorCode = "0", .language = "de", .agentKey = "a1", .whoIsTyping = "Ann"},
                     "quorvix.so");
  EXPECT_EQ(page, "s&lt;1&gt;|hi 7&amp;8|p|7&amp;8|0|de|a1|quorvix.so|Ann");
}

}  // namespace
