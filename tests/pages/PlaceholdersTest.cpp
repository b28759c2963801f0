#include "pages/Placeholders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pages/PageNames.h"

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

// The chat page as it used to be filled: one whole-page replacement per
// placeholder in a fixed order (so a value holding a later placeholder's name
// had that part replaced), then the module name and language again on output.
std::string FilledStepByStep(std::string page, const ChatPageValues& v, const std::string& module) {
  ReplacePlaceholder(page, placeholder::kSessionId, HtmlEscaped(std::string(v.sessionId)));
  ReplacePlaceholder(page, placeholder::kChatData, v.chatData);
  ReplacePlaceholder(page, placeholder::kPushUrl, HtmlEscaped(std::string(v.pushUrl)));
  ReplacePlaceholder(page, placeholder::kIndex, HtmlEscaped(std::string(v.index)));
  ReplacePlaceholder(page, placeholder::kErrorCode, HtmlEscaped(std::string(v.errorCode)));
  ReplacePlaceholder(page, placeholder::kLanguage, v.language);
  ReplacePlaceholder(page, placeholder::kAgentKey, HtmlEscaped(std::string(v.agentKey)));
  ReplacePlaceholder(page, placeholder::kServlet, module);
  ReplacePlaceholder(page, placeholder::kWhoIsTyping, HtmlEscaped(std::string(v.whoIsTyping)));
  ReplacePlaceholder(page, placeholder::kServlet, module);
  ReplacePlaceholder(page, placeholder::kLanguage, v.language);
  return page;
}

std::string AllPlaceholders() {
  std::string text;
  for (const auto name : placeholder::kAll) text.append(name).append("|");
  return text;
}

// One pass gives every page of the site the same text as the old way, for
// ordinary and hostile values alike. They differ only where a value that is
// inserted unescaped holds a placeholder's name (producers never give one):
// one pass keeps that value as it was given, which is the sound result.
TEST(ChatPageTest, OnePassFillsEveryTemplateAsTheStepByStepReplacementDid) {
  struct Row {
    const char* name;
    ChatPageValues values;
    std::string_view keptAsGiven;  // non-empty: the row where the two differ
  };
  const std::string hostile = "<script>alert('x')</script> & \"q\" /(a)";
  const std::string named = "<WCINDEX><WCSESSIONID><WCSERVLET><WCLANGUAGE>";
  const Row rows[] = {
      {"ordinary", {"12ab", "Agent: hi<BR>", "push", "7", "", "en", "a1", "Ann typing..."}, {}},
      {"empty", {"", "", "", "", "", "", "", ""}, {}},
      {"failed poll keeps its chat", {"s", placeholder::kChatData, "", "7", "1003", "de", "", ""}, {}},
      {"markup in escaped values", {hostile, "c", hostile, hostile, hostile, "en", hostile, hostile}, {}},
      {"placeholder names in escaped values", {named, "c", named, named, named, "en", named, named}, {}},
      {"placeholder names in the chat data", {"s", named, "p", "7", "", "en", "a", ""}, named},
  };
  const std::string module = "quorvix.so";
  std::vector<std::pair<std::string, std::string>> templates = {{"all placeholders", AllPlaceholders()},
                                                                 {"adjacent", "<WCINDEX><WCINDEX>x<WC<WCINDEX>"}};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(QUORVIX_SOURCE_DIR "/site/html")) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    templates.emplace_back(entry.path().string(), std::string(std::istreambuf_iterator<char>(file), {}));
  }
  ASSERT_GT(templates.size(), 20u);
  for (const auto& [template_name, text] : templates) {
    for (const auto& row : rows) {
      SCOPED_TRACE(template_name + ", " + row.name);
      std::string page = text;
      SubstituteChatPage(page, row.values, module);
      const std::string before = FilledStepByStep(text, row.values, module);
      if (row.keptAsGiven.empty() || text.find(placeholder::kChatData) == std::string::npos) {
        EXPECT_EQ(page, before);
      } else {
        EXPECT_NE(page.find(row.keptAsGiven), std::string::npos) << page;
        EXPECT_EQ(before.find(row.keptAsGiven), std::string::npos) << before;
      }
    }
  }
}

}  // namespace
