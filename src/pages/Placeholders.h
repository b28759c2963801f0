// Placeholders are upper-case "<WC...>" tokens in templates, replaced by plain
// text replacement of every occurrence. Values that come from visitors or
// agents are escaped with EncodeHTMLEscape by whoever inserts them.
#pragma once

#include <span>
#include <string>
#include <string_view>

// Replaces every occurrence of placeholder in text by value, left to right
// and without searching the inserted value again. Returns the count.
int ReplacePlaceholder(std::string& text, std::string_view placeholder, std::string_view value);

// One placeholder of a fill and its value, HTML-escaped on the way in when
// escape is set.
struct PlaceholderValue {
  std::string_view placeholder;  // begins with '<', as every "<WC...>" does
  std::string_view value;
  bool escape = false;
};

// text with every placeholder of values replaced in one pass from left to
// right: an inserted value is never searched again, so a value holding a
// placeholder's name stays as it was given.
std::string FillPlaceholders(std::string_view text, std::span<const PlaceholderValue> values);
// The same, appended to out.
void AppendFilledPlaceholders(std::string& out, std::string_view text, std::span<const PlaceholderValue> values);

// Appends text escaped as EncodeHTMLEscape escapes it.
void AppendHtmlEscaped(std::string& out, std::string_view text);

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

// Fills a chat poll page, the module's file name and the language included,
// in one pass. Every value from the back end but the chat data is escaped
// here (the caller prepares the chat data, which keeps its line breaks).
void SubstituteChatPage(std::string& page, const ChatPageValues& values,
                        std::string_view module_file_name);
// The page SubstituteChatPage makes of page, appended to out.
void AppendChatPage(std::string& out, std::string_view page, const ChatPageValues& values,
                    std::string_view module_file_name);
