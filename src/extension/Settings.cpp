// Reading RAVO.ini into the extension's settings.
#include <ctime>

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "extension/SettingsRules.h"
#include "platform/ModulePath.h"
#include "platform/ProfileString.h"

std::string CRAVOExtension::ReadWebSetting(std::string_view key) const {
  return platform::GetProfileString(m_settings.iniPath, "WEBSETTINGS", key);
}

void CRAVOExtension::LoadSettings() {
  const std::string path = m_modulePath.empty() ? platform::ModuleFileName() : m_modulePath;
  const auto slash = path.find_last_of('/');
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
