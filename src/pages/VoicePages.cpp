#include "pages/VoicePages.h"

#include "diag/Diags.h"
#include "pages/Placeholders.h"
#include "pages/Templates.h"
#include "platform/ModulePath.h"
#include "platform/ProfileString.h"

namespace {

bool NeedsEscape(unsigned char c) {
  return c < 0x20 || c == 0x7F || c == '\\' || c == '\'' || c == '"' || c == '<' || c == '>' || c == '&';
}

}  // namespace

std::string EscapeVoiceValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(value.size());
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (!NeedsEscape(byte)) {
      escaped.push_back(c);
      continue;
    }
    escaped.append("\\x");
    escaped.push_back(kHex[byte >> 4]);
    escaped.push_back(kHex[byte & 15]);
  }
  return escaped;
}

void FillVoicePlaceholder(std::string& document, std::string_view placeholder, std::string_view value) {
  ReplacePlaceholder(document, placeholder, EscapeVoiceValue(value));
}

void CompleteVoiceDocument(std::string& document, std::string_view return_code) {
  FillVoicePlaceholder(document, kVoiceReturnCode, return_code);
  for (const auto placeholder : kVoiceValuePlaceholders) ReplacePlaceholder(document, placeholder, "0");
}

bool LoadVoiceDocument(const std::string& ini_path, const std::string& module_directory, std::string_view name,
                       std::string& text) {
  diag::EntryExitRecords records("CRAVOExtension::GetVXMLPage entering", "CRAVOExtension::GetVXMLPage leaving");
  const std::string key(name);
  const std::string path = module_directory + "vxml" + platform::kPathSeparator + platform::ReadProfileString(ini_path, "WEBSETTINGS", key);
  if (!LoadTextFile(path, text)) {
    diag::AddDiag(diag::kLevelSevr, "Could not find " + path, ".\\RAVO", __LINE__);
    return false;
  }
  if (text.empty()) {
    diag::AddDiag(diag::kLevelSevr, key + ".vxml is empty!", ".\\RAVO", __LINE__);
    return false;
  }
  return true;
}
