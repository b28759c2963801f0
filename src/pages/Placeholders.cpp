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

std::string FillPlaceholders(std::string_view text, std::span<const PlaceholderValue> values) {
  std::string result;
  AppendFilledPlaceholders(result, text, values);
  return result;
}

void AppendFilledPlaceholders(std::string& result, std::string_view text, std::span<const PlaceholderValue> values) {
  result.reserve(result.size() + text.size() + text.size() / 2);
  std::size_t copied = 0;
  for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at)) {
    const PlaceholderValue* found = nullptr;
    for (const auto& value : values) {
      if (!value.placeholder.empty() && text.substr(at).starts_with(value.placeholder)) {
        found = &value;
        break;
      }
    }
    if (found == nullptr) {
      ++at;
      continue;
    }
    result.append(text, copied, at - copied);
    if (found->escape) {
      AppendHtmlEscaped(result, found->value);
    } else {
      result.append(found->value);
    }
    at += found->placeholder.size();
    copied = at;
  }
  result.append(text, copied, std::string_view::npos);
}

void AppendHtmlEscaped(std::string& result, std::string_view text) {
  for (std::size_t p = 0; p < text.size(); ++p) {
    const char c = text[p];
    switch (c) {
      case '&': {
        const auto rest = text.substr(p, 4);
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
}

void EncodeHTMLEscape(std::string& text) {
  std::string result;
  result.reserve(text.size() + text.size() / 8);
  AppendHtmlEscaped(result, text);
  text = std::move(result);
}

void SubstituteChatPage(std::string& page, const ChatPageValues& values,
                        std::string_view module_file_name) {
  std::string filled;
  AppendChatPage(filled, page, values, module_file_name);
  page = std::move(filled);
}

void AppendChatPage(std::string& out, std::string_view page, const ChatPageValues& values,
                    std::string_view module_file_name) {
  // The answer is served as HTML: whatever the back end echoes of visitors
  // (names, typing notices, keys, codes) must not become markup there.
  const PlaceholderValue fill[] = {
      {placeholder::kSessionId, values.sessionId, true}, {placeholder::kChatData, values.chatData},
      {placeholder::kPushUrl, values.pushUrl, true},     {placeholder::kIndex, values.index, true},
      {placeholder::kErrorCode, values.errorCode, true}, {placeholder::kLanguage, values.language},
      {placeholder::kAgentKey, values.agentKey, true},   {placeholder::kServlet, module_file_name},
      {placeholder::kWhoIsTyping, values.whoIsTyping, true},
  };
  AppendFilledPlaceholders(out, page, fill);
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
