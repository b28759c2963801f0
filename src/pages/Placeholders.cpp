#include "pages/PageNames.h"
#include "pages/Placeholders.h"

int ReplacePlaceholder(std::string& text, std::string_view placeholder, std::string_view value) {
  if (placeholder.empty()) return 0;
  int count = 0;
  std::size_t at = text.find(placeholder);
  if (at == std::string::npos) return 0;
  std::string result;
  result.reserve(text.size() + value.size());
  std::size_t copied = 0;
  for (; at != std::string::npos; at = text.find(placeholder, at + placeholder.size())) {
    result.append(text, copied, at - copied).append(value);
    copied = at + placeholder.size();
    ++count;
  }
  result.append(text, copied, std::string::npos);
  text = std::move(result);
  return count;
}

void EncodeHTMLEscape(std::string& text) {
  std::string result;
  result.reserve(text.size() + text.size() / 8);
  for (std::size_t p = 0; p < text.size(); ++p) {
    const char c = text[p];
    switch (c) {
      case '&': {
        const auto rest = std::string_view(text).substr(p, 4);
        result.append(rest == "&lt;" || rest == "&gt;" ? "&" : "&amp;");
        break;
      }
      case '<': result.append("&lt;"); break;
      case '>': result.append("&gt;"); break;
      case '"': result.append("&quot;"); break;
      case '\'': result.append("&#x27;"); break;
      case '/': result.append("&#x2F;"); break;
      case '(': result.append("&#x28;"); break;
      case ')': result.append("&#x29;"); break;
      default: result.push_back(c); break;
    }
  }
  text = std::move(result);
}

void SubstituteChatPage(std::string& page, const ChatPageValues& values,
                        std::string_view module_file_name) {
  // The answer is served as HTML: whatever the back end echoes of visitors
  // (names, typing notices, keys, codes) must not become markup there.
  ReplacePlaceholder(page, placeholder::kSessionId, HtmlEscaped(std::string(values.sessionId)));
  ReplacePlaceholder(page, placeholder::kChatData, values.chatData);
  ReplacePlaceholder(page, placeholder::kPushUrl, HtmlEscaped(std::string(values.pushUrl)));
  ReplacePlaceholder(page, placeholder::kIndex, HtmlEscaped(std::string(values.index)));
  ReplacePlaceholder(page, placeholder::kErrorCode, HtmlEscaped(std::string(values.errorCode)));
  ReplacePlaceholder(page, placeholder::kLanguage, values.language);
  ReplacePlaceholder(page, placeholder::kAgentKey, HtmlEscaped(std::string(values.agentKey)));
  ReplacePlaceholder(page, placeholder::kServlet, module_file_name);
  ReplacePlaceholder(page, placeholder::kWhoIsTyping, HtmlEscaped(std::string(values.whoIsTyping)));
}

std::string HtmlEscaped(std::string text) {
  EncodeHTMLEscape(text);
  return text;
}

std::string EscapeKeepingLineBreaks(std::string text) {
  EncodeHTMLEscape(text);
  ReplacePlaceholder(text, "&lt;BR&gt;", "<BR>");
  return text;
}
