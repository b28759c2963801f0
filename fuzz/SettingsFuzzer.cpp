// RAVO.ini as the module reads it: the input becomes the file beside a
// module of a scratch folder, and the module loads its settings from it; then
// every key is read on its own, once as written and once in other letter case.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "FuzzCheck.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "platform/ProfileString.h"
#include "platform/Text.h"
#include "support/TempDir.h"

namespace {

struct Installation {
  TempDir folder;
  CRAVOExtension extension{folder.path() + "quorvix.so"};
};

Installation& Installed() {
  static Installation installation;
  return installation;
}

constexpr std::pair<std::string_view, std::string_view> kKeys[] = {
    {"WEBSETTINGS", "DefaultPath"},       {"WEBSETTINGS", "DefaultLanguage"},
    {"WEBSETTINGS", "GeneralError"},      {"WEBSETTINGS", "ChatFrame"},
    {"WEBSETTINGS", "Response"},          {"VEKASETTINGS", "Address"},
    {"VEKASETTINGS", "Port"},             {"VEKASETTINGS", "SSLPort"},
    {"VEKASETTINGS", "ChatUsesSSL"},      {"VEKASETTINGS", "MinSockets"},
    {"VEKASETTINGS", "MaxSockets"},       {"VEKASETTINGS", "DebugOutput"},
    {"VEKASETTINGS", "Password"},         {"DIAGSETTINGS", "TIME_INTERVAL_SEC"},
    {"DIAGSETTINGS", "MAX_MEMORY"},       {"DIAGSETTINGS", "THRESHOLD"},
};

std::string SwapCase(std::string_view text) {
  std::string swapped(text);
  for (auto& c : swapped) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = static_cast<char>(c ^ 0x20);
  }
  return swapped;
}

void CheckSettings(const Installation& installation) {
  const ExtensionSettings& s = installation.extension.Settings();
  FUZZ_REQUIRE(s.iniPath == installation.folder.path() + "RAVO.ini", "settings read from elsewhere");
  FUZZ_REQUIRE(!s.templateDirectory.empty(), "no template folder");
  FUZZ_REQUIRE(s.port == text::ParseLeadingInt(s.portText), "port and its text disagree");
  FUZZ_REQUIRE(s.minSockets >= 1 && s.minSSLSockets >= 1, "fewer than one connection kept");
  FUZZ_REQUIRE(s.maxSockets >= 1 && s.maxSockets <= 500 && s.maxSSLSockets >= 1 && s.maxSSLSockets <= 500,
               "connection bound outside 1..500");
  FUZZ_REQUIRE(s.diagIntervalSec >= 0 && s.diagMaxMemory >= 1, "diagnostics pacing out of range");
  FUZZ_REQUIRE(s.diagThreshold >= 101 && s.diagThreshold <= 106, "diagnostics threshold out of range");
  FUZZ_REQUIRE(s.password.size() <= 40, "password longer than 40 bytes");
}

void CheckKeys(const std::string& path) {
  for (const auto& [section, key] : kKeys) {
    const std::string value = platform::ReadProfileString(path, section, key);
    FUZZ_REQUIRE(value.size() <= platform::kMaxProfileValue, "a value longer than the limit");
    FUZZ_REQUIRE(value.find('\n') == std::string::npos, "a value runs past its line");
    FUZZ_REQUIRE(platform::ReadProfileString(path, SwapCase(section), SwapCase(key)) == value,
                 "letter case of section or key changed the value");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Installation& installation = Installed();
  installation.folder.Write("RAVO.ini", std::string(reinterpret_cast<const char*>(data), size));
  installation.extension.LoadSettings();
  CheckSettings(installation);
  CheckKeys(installation.extension.Settings().iniPath);
  // A file asking for the trace opens debug.txt; later inputs start closed.
  diag::Trace().Close();
  return 0;
}
