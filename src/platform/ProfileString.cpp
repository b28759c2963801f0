#include "platform/ProfileString.h"

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

// Section and key without regard to letter case, as one lookup key, written
// from out on (room for section.size() + 1 + key.size() bytes).
void WriteLookupKey(std::string_view section, std::string_view key, char* out) {
  for (const char c : section) *out++ = text::ToLowerAscii(c);
  *out++ = '\n';  // cannot occur in a trimmed line
  for (const char c : key) *out++ = text::ToLowerAscii(c);
}

std::string LookupKey(std::string_view section, std::string_view key) {
  std::string joined(section.size() + 1 + key.size(), '\0');
  WriteLookupKey(section, key, joined.data());
  return joined;
}

}  // namespace

ProfileEntries::ProfileEntries(std::string_view file_text) {
  std::string_view section;
  bool has_section = false;
  std::size_t line_number = 0;
  std::string_view rest(file_text);
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const auto line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    ++line_number;
    const auto text = Trim(line);
    if (text.empty() || text.front() == ';' || text.front() == '#') continue;
    if (text.front() == '[') {
      const auto close = text.find(']');
      has_section = close != std::string_view::npos;
      if (has_section) section = Trim(text.substr(1, close - 1));
      continue;
    }
    if (!has_section) continue;
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    const auto value = Unquote(Trim(text.substr(equals + 1)));
    entries_.try_emplace(LookupKey(section, Trim(text.substr(0, equals))),
                         ProfileEntry{std::string(value.substr(0, kMaxProfileValue)), line_number});
  }
}

const ProfileEntry* ProfileEntries::Find(std::string_view section, std::string_view key) const {
  section = Trim(section);
  key = Trim(key);
  const std::size_t size = section.size() + 1 + key.size();
  char room[128];
  std::string long_key;
  std::string_view lookup(room, size);
  if (size <= sizeof room) {
    WriteLookupKey(section, key, room);
  } else {
    long_key = LookupKey(section, key);
    lookup = long_key;
  }
  const auto found = entries_.find(lookup);
  return found == entries_.end() ? nullptr : &found->second;
}

}  // namespace platform
