#include "extension/RequestVariables.h"

#include "diag/Diags.h"

namespace {

unsigned char Upper(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= 'a' && byte <= 'z') ? static_cast<unsigned char>(byte - 0x20) : byte;
}

std::size_t FindIgnoringCase(std::string_view text, std::string_view name) {
  if (name.empty()) return 0;
  if (name.size() > text.size()) return std::string_view::npos;
  const unsigned char first = Upper(name[0]);
  for (std::size_t at = 0; at + name.size() <= text.size(); ++at) {
    if (Upper(text[at]) != first) continue;
    std::size_t i = 1;
    while (i < name.size() && Upper(text[at + i]) == Upper(name[i])) ++i;
    if (i == name.size()) return at;
  }
  return std::string_view::npos;
}

int HexValue(unsigned char c) { return c >= 'A' ? (c & ~0x20) - 55 : c - 48; }


}  // namespace

bool ExtractWebVar(std::string_view text, std::string_view name, std::string& value) {
  const diag::EntryExitRecords records("CRAVOExtension::ExtractWebVar entering",
                                         "CRAVOExtension::ExtractWebVar leaving");
  value.clear();
  const auto at = FindIgnoringCase(text, name);
  if (at == std::string_view::npos) return false;
  auto rest = text.substr(at + name.size());
  rest = rest.substr(0, rest.find_first_of("?&\r"));
  value.assign(rest);
  URLDecode(value);
  return true;
}

bool URLDecode(std::string& text) {
  const diag::EntryExitRecords records("CRAVOExtension::URLDecode entering",
                                         "CRAVOExtension::URLDecode leaving");
  bool decoded = false;
  for (auto& c : text) {
    if (c == '+') {
      c = ' ';
      decoded = true;
    }
  }
  std::string result;
  result.reserve(text.size());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < n) {
      const int byte = 16 * HexValue(static_cast<unsigned char>(text[i + 1])) +
                       HexValue(static_cast<unsigned char>(text[i + 2]));
      result.push_back(static_cast<char>(static_cast<unsigned char>(byte & 0xFF)));
      i += 2;
      decoded = true;
    } else {
      result.push_back(c);
    }
  }
  text = std::move(result);
  return decoded;
}

bool ContainsRelevantCallData(std::string_view pair) {
  const diag::EntryExitRecords records("CRAVOExtension::ContainsRelevantCallData entering",
                                         "CRAVOExtension::ContainsRelevantCallData leaving");
  for (const auto known : kKnownVariableNames) {
    if (pair.find(known) != std::string_view::npos) return false;
  }
  return true;
}

void GetRelevantParams(std::string_view text, std::string& data) {
  const diag::EntryExitRecords records("CRAVOExtension::GetRelevantParams entering",
                                         "CRAVOExtension::GetRelevantParams leaving");
  data.clear();
  // Every piece, the last one included, is the text up to the next '&'.
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find('&', start);
    if (end == std::string_view::npos) end = text.size();
    const auto piece = text.substr(start, end - start);
    if (ContainsRelevantCallData(piece)) data.append(piece).push_back('&');
    start = end + 1;
  }
  if (data.find('&', 1) != std::string::npos) data.pop_back();
  URLDecode(data);
}
