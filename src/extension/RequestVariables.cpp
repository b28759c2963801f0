#include "extension/RequestVariables.h"

#include "diag/Diags.h"
#include "platform/Text.h"

bool ExtractWebVar(std::string_view text, std::string_view name, std::string& value) {
  const diag::EntryExitRecords records("CRAVOExtension::ExtractWebVar entering",
                                         "CRAVOExtension::ExtractWebVar leaving");
  value.clear();
  std::string_view raw;
  if (!FindWebVar(text, name, raw)) return false;
  URLDecode(raw, value);
  return true;
}

bool FindWebVar(std::string_view text, std::string_view name, std::string_view& raw) {
  const auto at = text::FindIgnoringCase(text, name);
  if (at == std::string_view::npos) return false;
  raw = text.substr(at + name.size());
  // find_first_of calls memchr over its set for every byte of the value.
  std::size_t end = 0;
  while (end < raw.size() && raw[end] != '&' && raw[end] != '?' && raw[end] != '\r') ++end;
  raw = raw.substr(0, end);
  return true;
}

bool URLDecode(std::string& text) {
  std::string decoded;
  const bool changed = URLDecode(text, decoded);
  text = std::move(decoded);
  return changed;
}

bool URLDecode(std::string_view text, std::string& decoded) {
  const diag::EntryExitRecords records("CRAVOExtension::URLDecode entering",
                                         "CRAVOExtension::URLDecode leaving");
  text::PercentDecode(text, text::kFormValue, decoded);
  // Every escape and every '+' changes the text.
  return decoded != text;
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
