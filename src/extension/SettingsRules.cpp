// Reading RAVO.ini: the rules the module and the configuration checker share.
#include "extension/SettingsRules.h"

#include <algorithm>

#include "extension/ExtensionSettings.h"
#include "platform/ProfileString.h"
#include "protocol/PasswordScrambling.h"

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
    return platform::GetProfileString(s.iniPath, section, key);
  };

  s.templateDirectory = read("WEBSETTINGS", "DefaultPath");
  if (s.templateDirectory.empty()) s.templateDirectory = s.moduleDirectory + "html/<WCLANGUAGE>/";
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
