#include "platform/ProfileString.h"

#include "platform/FileSnapshots.h"
#include "platform/Text.h"

namespace platform {
namespace {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// An initialisation file is a few kilobytes; anything this large is not one.
constexpr std::size_t kMaxProfileFileBytes = 16 << 20;

}  // namespace

std::string GetProfileString(const std::string& path, std::string_view section,
                             std::string_view key) {
  // Asked at every page: one stat() while the file is unchanged, then views
  // into what it holds.
  const auto file = ReadFileSnapshot(path, kMaxProfileFileBytes);
  if (file == nullptr) return {};
  const auto wanted_section = Trim(section);
  const auto wanted_key = Trim(key);
  bool in_section = false;
  std::string_view rest(file->text);
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const auto line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const auto text = Trim(line);
    if (text.empty() || text.front() == ';' || text.front() == '#') continue;
    if (text.front() == '[') {
      const auto close = text.find(']');
      in_section = close != std::string_view::npos &&
                   text::EqualsIgnoringCase(Trim(text.substr(1, close - 1)), wanted_section);
      continue;
    }
    if (!in_section) continue;
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    if (!text::EqualsIgnoringCase(Trim(text.substr(0, equals)), wanted_key)) continue;
    const auto value = Unquote(Trim(text.substr(equals + 1)));
    return std::string(value.substr(0, kMaxProfileValue));
  }
  return {};
}

}  // namespace platform
