// Reading RAVO.ini into the extension's settings.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "protocol/PasswordScrambling.h"
#include "extension/RAVO.h"
#include "extension/SettingsRules.h"
#include "platform/ModulePath.h"
#include "platform/ProfileString.h"

int NumberRule::Apply(int value) const {
  if (value < floor) return below_floor;
  if (value > ceiling) return above_ceiling;
  return value;
}

bool IsTruthWord(std::string_view value, std::initializer_list<std::string_view> words) {
  for (const auto word : words) {
    if (text::EqualsIgnoringCase(value, word)) return true;
  }
  return false;
}

std::string PreparePassword(std::string_view value) {
  const auto last = value.find_last_not_of(" \t\r\n\v\f");
  if (last == std::string_view::npos) return {};
  return ScramblePassword(value.substr(0, std::min(last + 1, kMaxPasswordLength)));
}

std::string CRAVOExtension::ReadWebSetting(std::string_view key) const {
  return platform::ReadProfileString(m_settings.iniPath, "WEBSETTINGS", key);
}

std::string CRAVOExtension::ReadVekaSetting(std::string_view key) const {
  return platform::ReadProfileString(m_settings.iniPath, "VEKASETTINGS", key);
}

std::string CRAVOExtension::ReadDiagSetting(std::string_view key) const {
  return platform::ReadProfileString(m_settings.iniPath, "DIAGSETTINGS", key);
}

std::span<const NumberSetting> NumberSettings() {
  static constexpr NumberSetting kRows[] = {
      {"VEKASETTINGS", "MinSockets", kMinSocketsRule, &ExtensionSettings::minSockets},
      {"VEKASETTINGS", "MaxSockets", kMaxSocketsRule, &ExtensionSettings::maxSockets},
      {"VEKASETTINGS", "MinSSLSockets", kMinSocketsRule, &ExtensionSettings::minSSLSockets},
      {"VEKASETTINGS", "MaxSSLSockets", kMaxSocketsRule, &ExtensionSettings::maxSSLSockets},
      {"DIAGSETTINGS", "TIME_INTERVAL_SEC", kIntervalRule, &ExtensionSettings::diagIntervalSec},
      {"DIAGSETTINGS", "MAX_MEMORY", kMaxMemoryRule, &ExtensionSettings::diagMaxMemory},
      {"DIAGSETTINGS", "THRESHOLD", kThresholdRule, &ExtensionSettings::diagThreshold},
  };
  return kRows;
}

ExtensionSettings ReadExtensionSettings(const std::string& module_directory) {
  ExtensionSettings s;
  s.moduleDirectory = module_directory;
  s.iniPath = s.moduleDirectory + "RAVO.ini";
  const auto read = [&s](std::string_view section, std::string_view key) {
    return platform::ReadProfileString(s.iniPath, section, key);
  };

  s.templateDirectory = read("WEBSETTINGS", "DefaultPath");
  if (s.templateDirectory.empty()) s.templateDirectory = s.moduleDirectory + "html" + platform::kPathSeparator + "<WCLANGUAGE>" + platform::kPathSeparator;
  s.defaultLanguage = read("WEBSETTINGS", "DefaultLanguage");

  s.backendAddress = read("VEKASETTINGS", "Address");
  s.portText = read("VEKASETTINGS", "Port");
  s.port = text::ParseLeadingInt(s.portText);
  s.sslPortText = read("VEKASETTINGS", "SSLPort");
  s.sslPort = text::ParseLeadingInt(s.sslPortText);
  s.chatUsesSSL = IsTruthWord(read("VEKASETTINGS", "ChatUsesSSL"), {"true"});
  s.callbackUsesSSL = IsTruthWord(read("VEKASETTINGS", "CallbackUsesSSL"), {"true"});
  s.voiceXmlUsesSSL = IsTruthWord(read("VEKASETTINGS", "VoiceXMLUsesSSL"), {"true"});
  s.debugOutput = IsTruthWord(read("VEKASETTINGS", "DebugOutput"), {"yes", "true", "1"});
  s.password = PreparePassword(read("VEKASETTINGS", "Password"));
  for (const auto& number : NumberSettings()) {
    s.*number.field = number.rule.Apply(text::ParseLeadingInt(read(number.section, number.key)));
  }
  return s;
}

void CRAVOExtension::LoadSettings() {
  const std::string path = m_modulePath.empty() ? platform::ModuleFileName() : m_modulePath;
  const auto slash = path.find_last_of(platform::kPathSeparators);
  m_moduleFileName = slash == std::string::npos ? path : path.substr(slash + 1);
  m_settings = ReadExtensionSettings(slash == std::string::npos ? std::string() : path.substr(0, slash + 1));

  const auto& s = m_settings;
  m_pages.Configure({s.iniPath, s.templateDirectory, s.defaultLanguage, m_moduleFileName});
  if (s.debugOutput) OpenTraceFile();
  m_backend.SetPassword(s.password);
  diag::SetDiagEnabled(true);
}

void CRAVOExtension::OpenTraceFile() {
  if (!diag::Trace().Open(m_settings.moduleDirectory + "debug.txt")) return;
  char clock_text[16] = "";
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) std::strftime(clock_text, sizeof clock_text, "%H:%M:%S", &local);
  diag::TraceLineNoFlush("ISAPI DLL started at %s from %s\n", clock_text,
                         m_settings.moduleDirectory.c_str());
}
