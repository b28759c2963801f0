#include "check/SiteCheck.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "check/TemplateScan.h"
#include "extension/ExtensionSettings.h"
#include "extension/SettingsRules.h"
#include "net/TRSocket.h"
#include "pages/PageNames.h"
#include "pages/Placeholders.h"
#include "pages/Templates.h"
#include "pages/VoicePages.h"
#include "platform/FileSnapshots.h"
#include "platform/ProfileString.h"

namespace check {
namespace {

namespace fs = std::filesystem;

// What a page cannot work without, and what the visitor meets when it is
// missing.
struct PageNeed {
  std::string_view page;
  std::string_view placeholder;
  std::string_view consequence;
};

constexpr PageNeed kPageNeeds[] = {
    {page_key::kGeneralError, placeholder::kErrorCode, "the visitor does not see which error happened"},
    {page_key::kCaptureCallData, placeholder::kBusinessUnitName, "a chat started from it loses its business unit"},
    {page_key::kChatFrame, placeholder::kSessionId, "the chat window cannot poll or post to its chat"},
    {page_key::kJSDispatch, placeholder::kChatData, "new chat lines never reach the visitor"},
    {page_key::kJSDispatch, placeholder::kIndex, "every poll asks for the same lines again"},
    {page_key::kTransferredTo, placeholder::kTransferTo, "the visitor is not told who took over the chat"},
    {page_key::kChatSummary, placeholder::kChatSummary, "the summary page shows no summary"},
    {page_key::kWebCallback, placeholder::kCallTypeList, "the callback form offers no call type"},
};

constexpr std::string_view kVoiceNeedConsequence = "the voice application cannot tell success from failure";

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool IsKnownPagePlaceholder(std::string_view name) {
  return std::find(std::begin(placeholder::kAll), std::end(placeholder::kAll), name) != std::end(placeholder::kAll);
}

bool IsKnownVoicePlaceholder(std::string_view name) {
  return name == kVoiceReturnCode ||
         std::find(kVoiceValuePlaceholders.begin(), kVoiceValuePlaceholders.end(), name) !=
             kVoiceValuePlaceholders.end();
}

bool IsWholeNumber(std::string_view value) {
  if (!value.empty() && (value.front() == '+' || value.front() == '-')) value.remove_prefix(1);
  return !value.empty() && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A dotted IPv4 address or a host name: labels of letters, digits and '-'.
bool LooksLikeHostName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  std::size_t label = 0;
  for (const char c : name) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-') {
      if (++label > 63) return false;
    } else {
      return false;
    }
  }
  return true;
}

std::vector<std::string> SortedSubfolders(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code type_error;
    if (it->is_directory(type_error)) names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The whole regular file at path, read as the module reads it; false when
// there is none, it cannot be read or it is larger than max_bytes.
bool ReadWhole(const std::string& path, std::size_t max_bytes, std::string& text) {
  const auto file = platform::ReadFileSnapshot(path, max_bytes);
  if (file == nullptr) return false;
  text = file->text;
  return true;
}

bool Exists(const std::string& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// One site folder's check: the settings file's text, read once, and the
// settings the module makes of it.
class SiteChecker {
 public:
  // The module's folder is where its file is: site_folder with a '/'.
  explicit SiteChecker(const std::string& site_folder)
      : settings_(ReadExtensionSettings(site_folder.ends_with('/') ? site_folder : site_folder + "/")) {}

  Report Run() {
    ReadSettingsFile();
    CheckNumbers();
    CheckBackend();
    CheckLanguages();
    for (const auto page : page_key::kAll) CheckPage(page);
    CheckVoiceDocument();
    return std::move(report_);
  }

 private:
  void ReadSettingsFile() {
    std::string text;
    if (ReadWhole(settings_.iniPath, platform::kMaxProfileFileBytes, text)) {
      entries_ = platform::ProfileEntries(text);
      return;
    }
    report_.Add(settings_.iniPath, 1, "settings",
                Exists(settings_.iniPath)
                    ? "cannot be read as a settings file (not a regular file, or larger than 16 MB); the module "
                      "reads every key as empty"
                    : "missing; the module reads every key as empty");
  }

  const platform::ProfileEntry* Entry(std::string_view section, std::string_view key) const {
    return entries_.Find(section, key);
  }

  std::size_t LineOfKey(std::string_view section, std::string_view key) const {
    const auto entry = Entry(section, key);
    return entry ? entry->line : 1;
  }

  void CheckNumbers() {
    for (const auto& number : NumberSettings()) {
      const auto entry = Entry(number.section, number.key);
      if (!entry) continue;  // absent keys take their defaults
      const std::string key(number.key);
      const int read = text::ParseLeadingInt(entry->value);
      const int used = settings_.*number.field;  // what the module made of it
      if (read < number.rule.floor) {
        report_.Add(settings_.iniPath, entry->line, "clamped-number",
                    key + "=" + entry->value + " is below " + std::to_string(number.rule.floor) +
                        "; the module uses " + std::to_string(used));
      } else if (read > number.rule.ceiling) {
        report_.Add(settings_.iniPath, entry->line, "clamped-number",
                    key + "=" + entry->value + " is above " + std::to_string(number.rule.ceiling) +
                        "; the module uses " + std::to_string(used));
      } else if (!IsWholeNumber(entry->value)) {
        report_.Add(settings_.iniPath, entry->line, "number-text",
                    key + "=" + entry->value + " is not a number; the module reads " + std::to_string(read));
      }
    }
  }

  void CheckPort(std::string_view key, const std::string& text, int port, bool used) {
    if (!used) return;
    if (IsWholeNumber(text) && port >= 1 && port <= 65535) return;
    if (text.empty()) {
      report_.Add(settings_.iniPath, LineOfKey("VEKASETTINGS", key), "backend-port",
                  "no " + std::string(key) + "; the module cannot reach the back end");
      return;
    }
    report_.Add(settings_.iniPath, LineOfKey("VEKASETTINGS", key), "backend-port",
                std::string(key) + "=" + text + " is not a TCP port (1 to 65535)");
  }

  void CheckBackend() {
    const auto& s = settings_;
    auto& backend = report_.backend;
    backend.address = s.backendAddress;
    backend.port = s.portText;
    backend.tlsPort = s.sslPortText;
    const std::pair<const char*, bool> services[] = {
        {"chat", s.chatUsesSSL}, {"callback", s.callbackUsesSSL}, {"voice", s.voiceXmlUsesSSL}};
    for (const auto& [name, tls] : services) (tls ? backend.tlsServices : backend.plainServices).push_back(name);

    const std::size_t line = LineOfKey("VEKASETTINGS", "Address");
    if (s.backendAddress.empty()) {
      report_.Add(s.iniPath, line, "backend-address", "no back-end Address; every exchange fails");
    } else if (!LooksLikeHostName(s.backendAddress)) {
      report_.Add(s.iniPath, line, "backend-address",
                  "Address=" + s.backendAddress + " is neither an IPv4 address nor a host name");
    } else if (!HostResolvesToIPv4(s.backendAddress)) {
      report_.Add(s.iniPath, line, "backend-address",
                  "Address=" + s.backendAddress + " does not resolve to an IPv4 address here");
    }
    CheckPort("Port", s.portText, s.port, s.AnyServicePlain());
    CheckPort("SSLPort", s.sslPortText, s.sslPort, s.AnyServiceSecure());
  }

  void CheckLanguages() {
    const auto& s = settings_;
    if (!Contains(s.templateDirectory, placeholder::kLanguage)) return;  // reported per page
    languages_ = SortedSubfolders(TemplateRoot(s.templateDirectory));
    const std::size_t line = LineOfKey("WEBSETTINGS", "DefaultLanguage");
    if (s.defaultLanguage.empty()) {
      report_.Add(s.iniPath, line, "template-folder",
                  "no DefaultLanguage; a page missing in a visitor's language has no fallback");
    } else if (std::find(languages_.begin(), languages_.end(), s.defaultLanguage) == languages_.end()) {
      report_.Add(s.iniPath, line, "template-folder",
                  "DefaultLanguage=" + s.defaultLanguage + " has no folder " +
                      PathForLanguage(s.templateDirectory, s.defaultLanguage));
    }
  }

  void CheckPage(std::string_view page) {
    const auto& s = settings_;
    const std::string key(page);
    const auto entry = Entry("WEBSETTINGS", page);
    const std::size_t line = entry ? entry->line : 1;
    if (!entry || entry->value.empty()) {
      report_.Add(s.iniPath, line, "missing-template",
                  "[WEBSETTINGS] names no template for page " + key + "; the module cannot show it");
      return;
    }
    const std::string pattern = s.templateDirectory + entry->value;
    if (!Contains(pattern, placeholder::kLanguage)) {
      report_.Add(s.iniPath, line, "template-folder",
                  "page " + key + ": " + pattern + " names no language folder (" + std::string(placeholder::kLanguage) +
                      "); the module never loads it");
      return;
    }
    const bool in_default = Exists(PathForLanguage(pattern, s.defaultLanguage));
    for (const auto& language : languages_) {
      const std::string path = PathForLanguage(pattern, language);
      std::string text;
      if (!ReadWhole(path, kMaxTemplateBytes, text)) {
        if (Exists(path)) {
          report_.Add(path, 1, "missing-template",
                      "page " + key + ": not a readable template (not a regular file, or larger than 64 MB)");
        } else if (language != s.defaultLanguage && in_default) {
          report_.Add(s.iniPath, line, "missing-in-language",
                      "page " + key + ": " + path + " is missing; " + language + " visitors get the " +
                          s.defaultLanguage + " page");
        } else {
          report_.Add(s.iniPath, line, "missing-template", "page " + key + ": " + path + " is missing");
        }
        continue;
      }
      if (text.empty()) {
        report_.Add(path, 1, "empty-template", "page " + key + ": the template is empty; the module treats it as missing");
        continue;
      }
      CheckPlaceholders(path, text, IsKnownPagePlaceholder);
      for (const auto& need : kPageNeeds) {
        if (need.page != page || Contains(text, need.placeholder)) continue;
        report_.Add(path, 1, "missing-placeholder",
                    "page " + key + " lacks " + std::string(need.placeholder) + ": " + std::string(need.consequence));
      }
    }
  }

  template <typename Known>
  void CheckPlaceholders(const std::string& path, std::string_view text, Known known) {
    const auto scan = FindPlaceholders(text);
    for (const auto& use : scan.uses) {
      if (known(use.name)) continue;
      report_.Add(path, use.line, "unknown-placeholder",
                  use.name + " is filled by no handler; it stays in the answer as written");
    }
    if (scan.notListed > 0) {
      report_.Add(path, 1, "unknown-placeholder",
                  std::to_string(scan.notListed) + " more placeholder names not listed");
    }
  }

  void CheckVoiceDocument() {
    const auto& s = settings_;
    const auto entry = Entry("WEBSETTINGS", kVoiceResponseDocument);
    const std::size_t line = entry ? entry->line : 1;
    const std::string key(kVoiceResponseDocument);
    if (!entry || entry->value.empty()) {
      report_.Add(s.iniPath, line, "missing-template",
                  "[WEBSETTINGS] names no " + key + " document; every voice-browser request gets an empty answer");
      return;
    }
    const std::string path = s.moduleDirectory + "vxml/" + entry->value;
    std::string text;
    if (!ReadWhole(path, kMaxTemplateBytes, text)) {
      report_.Add(s.iniPath, line, "missing-template",
                  key + ": " + path + " is missing or unreadable; every voice-browser request gets an empty answer");
      return;
    }
    if (text.empty()) {
      report_.Add(path, 1, "empty-template", key + ": the document is empty; voice-browser requests get no answer");
      return;
    }
    CheckPlaceholders(path, text, IsKnownVoicePlaceholder);
    if (!Contains(text, kVoiceReturnCode)) {
      report_.Add(path, 1, "missing-placeholder",
                  key + " lacks " + std::string(kVoiceReturnCode) + ": " + std::string(kVoiceNeedConsequence));
    }
    // Judge the document the voice browser gets: every placeholder filled, as
    // the module fills them. Names no handler knows are reported above; here
    // they stand in as values so that one fault is not reported twice.
    CompleteVoiceDocument(text, "0");
    for (const auto& use : FindPlaceholders(text).uses) ReplacePlaceholder(text, use.name, "0");
    if (const auto problem = FindXmlProblem(text)) {
      report_.Add(path, problem->line, "malformed-vxml", key + " is not well-formed XML: " + problem->message);
    }
  }

  ExtensionSettings settings_;
  platform::ProfileEntries entries_{std::string_view()};  // of RAVO.ini; none when it cannot be read
  std::vector<std::string> languages_;
  Report report_;
};

}  // namespace

Report CheckSite(const std::string& site_folder) { return SiteChecker(site_folder).Run(); }

}  // namespace check
