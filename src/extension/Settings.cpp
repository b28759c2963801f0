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
  return platform::GetProfileString(m_settings.iniPath, "WEBSETTINGS", key);
}

std::string CRAVOExtension::ReadVekaSetting(std::string_view key) const {
  return platform::GetProfileString(m_settings.iniPath, "VEKASETTINGS", key);
}

std::string CRAVOExtension::ReadDiagSetting(std::string_view key) const {
  return platform::GetProfileString(m_settings.iniPath, "DIAGSETTINGS", key);
}

void CRAVOExtension::LoadSettings() {
  auto& s = m_settings;

  const std::string path = m_modulePath.empty() ? platform::ModuleFileName() : m_modulePath;
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    m_moduleFileName = path;
    s.moduleDirectory.clear();
  } else {
    m_moduleFileName = path.substr(slash + 1);
    s.moduleDirectory = path.substr(0, slash + 1);
  }
  s.iniPath = s.moduleDirectory + "RAVO.ini";

  s.templateDirectory = ReadWebSetting("DefaultPath");
  if (s.templateDirectory.empty()) s.templateDirectory = s.moduleDirectory + "html/<WCLANGUAGE>/";
  s.defaultLanguage = ReadWebSetting("DefaultLanguage");
  m_pages.Configure({s.iniPath, s.templateDirectory, s.defaultLanguage, m_moduleFileName});

  const auto number = [this](std::string_view key, const NumberRule& rule) {
    return rule.Apply(text::ParseLeadingInt(ReadVekaSetting(key)));
  };
  s.backendAddress = ReadVekaSetting("Address");
  s.portText = ReadVekaSetting("Port");
  s.port = text::ParseLeadingInt(s.portText);
  s.sslPortText = ReadVekaSetting("SSLPort");
  s.sslPort = text::ParseLeadingInt(s.sslPortText);
  s.chatUsesSSL = IsTruthWord(ReadVekaSetting("ChatUsesSSL"), {"true"});
  s.callbackUsesSSL = IsTruthWord(ReadVekaSetting("CallbackUsesSSL"), {"true"});
  s.voiceXmlUsesSSL = IsTruthWord(ReadVekaSetting("VoiceXMLUsesSSL"), {"true"});
  s.minSockets = number("MinSockets", kMinSocketsRule);
  s.maxSockets = number("MaxSockets", kMaxSocketsRule);
  s.minSSLSockets = number("MinSSLSockets", kMinSocketsRule);
  s.maxSSLSockets = number("MaxSSLSockets", kMaxSocketsRule);
  s.debugOutput = IsTruthWord(ReadVekaSetting("DebugOutput"), {"yes", "true", "1"});
  if (s.debugOutput) OpenTraceFile();
  s.password = PreparePassword(ReadVekaSetting("Password"));
  m_backend.SetPassword(s.password);

  s.diagIntervalSec = kIntervalRule.Apply(text::ParseLeadingInt(ReadDiagSetting("TIME_INTERVAL_SEC")));
  diag::SetDiagEnabled(true);
  s.diagMaxMemory = kMaxMemoryRule.Apply(text::ParseLeadingInt(ReadDiagSetting("MAX_MEMORY")));
  s.diagThreshold = kThresholdRule.Apply(text::ParseLeadingInt(ReadDiagSetting("THRESHOLD")));
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
