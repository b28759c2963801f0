// Placeholders are upper-case "<WC...>" tokens in templates, replaced by plain
// text replacement of every occurrence. Values that come from visitors or
// agents are escaped with EncodeHTMLEscape by whoever inserts them.
#pragma once

#include <string>
#include <string_view>

// Replaces every occurrence of placeholder in text by value, left to right
// and without searching the inserted value again. Returns the count.
int ReplacePlaceholder(std::string& text, std::string_view placeholder, std::string_view value);

// Escapes &<>"'/() as HTML entities, in place. "&lt;" and "&gt;" already in
// the text are left as they are; every other '&' is escaped.
void EncodeHTMLEscape(std::string& text);

// A copy of text escaped with EncodeHTMLEscape.
std::string HtmlEscaped(std::string text);

// Back-end texts shown on a page: escaped, except the "<BR>" line breaks of
// transcripts. Visitors' angle brackets arrive as &lt; and &gt;, which the
// escaping keeps.
std::string EscapeKeepingLineBreaks(std::string text);

// The values of a chat poll page.
struct ChatPageValues {
  std::string_view sessionId;
  std::string_view chatData;
  std::string_view pushUrl;
  std::string_view index;
  std::string_view errorCode;
  std::string_view language;
  std::string_view agentKey;
  std::string_view whoIsTyping;
};

// Fills a chat poll page. Every value from the back end but the chat data is
// escaped here (the caller prepares the chat data, which keeps its line
// breaks); values go in in a fixed order, so that a later placeholder inside
// an earlier value is replaced too.
void SubstituteChatPage(std::string& page, const ChatPageValues& values,
                        std::string_view module_file_name);
