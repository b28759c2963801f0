#include "host/ResponseHeaders.h"

#include <charconv>

#include "host/StatusPages.h"
#include "platform/Text.h"

namespace host {
namespace {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool ServerOwned(std::string_view name) {
  for (const char* owned : {"Content-Length", "Connection", "Transfer-Encoding"}) {
    if (text::EqualsIgnoringCase(name, owned)) {
      return true;
    }
  }
  return false;
}

bool IsToken(std::string_view name) {
  for (const char c : name) {
    if (c <= ' ' || c >= 127 || c == ':') return false;
  }
  return !name.empty();
}

}  // namespace

void AppendAnswerHead(std::string& head, unsigned status, std::string_view module_headers, bool has_body,
                      std::size_t content_length, bool closing) {
  char digits[24];
  head += "HTTP/1.1 ";
  head.append(digits, static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, status).ptr - digits));
  head += ' ';
  head += ReasonPhrase(status);
  head += "\r\n";
  bool has_type = false;
  for (std::string_view text = module_headers; !text.empty();) {
    auto end = text.find('\n');
    auto line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const auto name = Trim(line.substr(0, colon));
    const auto value = Trim(line.substr(colon + 1));
    if (!IsToken(name) || ServerOwned(name) || value.find('\r') != std::string_view::npos) continue;
    has_type = has_type || text::EqualsIgnoringCase(name, "Content-Type");
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  }
  if (!has_type && has_body) head += "Content-Type: text/html\r\n";
  if (status != 204 && status != 304 && status >= 200) {
    head += "Content-Length: ";
    head.append(digits,
                static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, content_length).ptr - digits));
    head += "\r\n";
  }
  if (closing) head += "Connection: close\r\n";
  head += "\r\n";
}

unsigned ParseStatusLine(std::string_view line, unsigned fallback) {
  unsigned status = 0;
  std::size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  const std::size_t start = i;
  while (i < line.size() && i - start < 4 && line[i] >= '0' && line[i] <= '9') {
    status = status * 10 + static_cast<unsigned>(line[i] - '0');
    ++i;
  }
  return (i - start == 3 && status >= 100) ? status : fallback;
}

}  // namespace host
