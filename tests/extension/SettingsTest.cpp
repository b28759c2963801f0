#include <gtest/gtest.h>

#include <functional>

#include "protocol/PasswordScrambling.h"
#include "extension/SettingsRules.h"
#include "support/ExtensionFixture.h"

namespace {

using SettingsTest = ExtensionFixture<>;

struct SettingCase {
  const char* ini;
  std::function<long(const ExtensionSettings&)> read;
  long expected;
};

TEST_F(SettingsTest, DefaultsClampsAndTruthWords) {
  using S = ExtensionSettings;
  const std::vector<SettingCase> cases = {
      {"[VEKASETTINGS]\nMaxSockets=0", [](const S& s) { return s.maxSockets; }, 200},
      {"[VEKASETTINGS]\nMaxSockets=900", [](const S& s) { return s.maxSockets; }, 500},
      {"[VEKASETTINGS]\nMaxSockets=abc", [](const S& s) { return s.maxSockets; }, 200},
      {"[VEKASETTINGS]\nMaxSockets=500", [](const S& s) { return s.maxSockets; }, 500},
      {"[VEKASETTINGS]\nMinSockets=-5", [](const S& s) { return s.minSockets; }, 100},
      {"[VEKASETTINGS]\nMinSockets=3", [](const S& s) { return s.minSockets; }, 3},
      {"[VEKASETTINGS]\nMaxSSLSockets=501", [](const S& s) { return s.maxSSLSockets; }, 500},
      {"[VEKASETTINGS]\nMinSSLSockets=0", [](const S& s) { return s.minSSLSockets; }, 100},
      {"[DIAGSETTINGS]\nTHRESHOLD=100", [](const S& s) { return s.diagThreshold; }, 101},
      {"[DIAGSETTINGS]\nTHRESHOLD=106", [](const S& s) { return s.diagThreshold; }, 106},
      {"[DIAGSETTINGS]\nTHRESHOLD=107", [](const S& s) { return s.diagThreshold; }, 106},
      {"[DIAGSETTINGS]\nOTHER=1", [](const S& s) { return s.diagThreshold; }, 101},
      {"[DIAGSETTINGS]\nTIME_INTERVAL_SEC=-3", [](const S& s) { return s.diagIntervalSec; }, 0},
      {"[DIAGSETTINGS]\nTIME_INTERVAL_SEC=31", [](const S& s) { return s.diagIntervalSec; }, 31},
      {"[DIAGSETTINGS]\nOTHER=1", [](const S& s) { return s.diagMaxMemory; }, 100},
      {"[DIAGSETTINGS]\nMAX_MEMORY=5", [](const S& s) { return s.diagMaxMemory; }, 5},
      {"[VEKASETTINGS]\nChatUsesSSL=TRUE", [](const S& s) { return s.chatUsesSSL; }, 1},
      {"[VEKASETTINGS]\nChatUsesSSL=yes", [](const S& s) { return s.chatUsesSSL; }, 0},
      {"[VEKASETTINGS]\nCallbackUsesSSL=true", [](const S& s) { return s.callbackUsesSSL; }, 1},
      {"[VEKASETTINGS]\nVoiceXMLUsesSSL=1", [](const S& s) { return s.voiceXmlUsesSSL; }, 0},
      {"[VEKASETTINGS]\nDebugOutput=Yes", [](const S& s) { return s.debugOutput; }, 1},
      {"[VEKASETTINGS]\nDebugOutput=TRUE", [](const S& s) { return s.debugOutput; }, 1},
      {"[VEKASETTINGS]\nDebugOutput=1", [](const S& s) { return s.debugOutput; }, 1},
      {"[VEKASETTINGS]\nDebugOutput=on", [](const S& s) { return s.debugOutput; }, 0},
      {"[VEKASETTINGS]\nPort=8080x", [](const S& s) { return s.port; }, 8080},
      {"[VEKASETTINGS]\nPort= -12", [](const S& s) { return s.port; }, -12},
      {"[VEKASETTINGS]\nPort=99999999999", [](const S& s) { return s.port; }, 2147483647},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    const auto& settings = Start(c.ini).Settings();
    EXPECT_EQ(c.read(settings), c.expected);
    Stop();
  }
}

TEST_F(SettingsTest, MissingIniLeavesEveryDefault) {
  const auto& s = Start().Settings();
  EXPECT_EQ(s.iniPath, dir_.path() + "RAVO.ini");
  EXPECT_EQ(s.moduleDirectory, dir_.path());
  EXPECT_EQ(s.templateDirectory, dir_.path() + "html/<WCLANGUAGE>/");
  EXPECT_EQ(s.defaultLanguage, "");
  EXPECT_EQ(s.backendAddress, "");
  EXPECT_EQ(s.port, 0);
  EXPECT_EQ(s.portText, "");
  EXPECT_EQ(s.minSockets, 100);
  EXPECT_EQ(s.maxSockets, 200);
  EXPECT_FALSE(s.chatUsesSSL || s.callbackUsesSSL || s.voiceXmlUsesSSL || s.debugOutput);
  EXPECT_EQ(s.password, "");
  EXPECT_EQ(s.diagThreshold, 101);
  EXPECT_EQ(extension_->ModuleFileName(), "quorvix.so");
  EXPECT_FALSE(dir_.Exists("debug.txt"));
}

TEST_F(SettingsTest, KeepsPortTextsAsReadAndTheConfiguredPaths) {
  const auto& s = Start(
                      "[WEBSETTINGS]\nDefaultPath=/srv/pages/<WCLANGUAGE>/\nDefaultLanguage=de\n"
                      "[VEKASETTINGS]\nAddress=127.0.0.1\nPort=04711\nSSLPort=4712 \nMinSockets=1\n")
                      .Settings();
  EXPECT_EQ(s.templateDirectory, "/srv/pages/<WCLANGUAGE>/");
  EXPECT_EQ(s.defaultLanguage, "de");
  EXPECT_EQ(s.backendAddress, "127.0.0.1");
  EXPECT_EQ(s.port, 4711);
  EXPECT_EQ(s.portText, "04711");
  EXPECT_EQ(s.sslPort, 4712);
  EXPECT_EQ(s.sslPortText, "4712");
}

TEST_F(SettingsTest, PasswordIsTrimmedCutAndScrambled) {
  const std::string fifty(50, 'p');
  EXPECT_EQ(Start("[VEKASETTINGS]\nPassword=" + fifty).Settings().password,
            ScramblePassword(std::string(40, 'p')));
  Stop();
  EXPECT_EQ(Start("[VEKASETTINGS]\nPassword=secret \t ").Settings().password,
            ScramblePassword("secret"));
  Stop();
  EXPECT_EQ(PreparePassword("   "), "");
  EXPECT_EQ(UnscramblePassword(ScramblePassword("secret")), "secret");
  EXPECT_NE(ScramblePassword("secret"), "secret");
  EXPECT_EQ(ScramblePassword("secret").size(), 6u);
}

TEST_F(SettingsTest, PageKeysAreReadAgainButOtherKeysOnlyAtStart) {
  auto& extension = Start("[WEBSETTINGS]\nChatFrame=chat1.html\n[VEKASETTINGS]\nPort=1\n");
  dir_.Write("RAVO.ini", "[WEBSETTINGS]\nChatFrame=chat2.html\n[VEKASETTINGS]\nPort=2\n");
  EXPECT_EQ(extension.ReadWebSetting("ChatFrame"), "chat2.html");
  EXPECT_EQ(extension.Settings().port, 1);
}

TEST_F(SettingsTest, DebugOutputOpensTheTraceFileBesideTheModule) {
  Start("[VEKASETTINGS]\nDebugOutput=yes\n");
  Stop();
  Start("[VEKASETTINGS]\nDebugOutput=yes\n");
  Stop();
  const std::string text = dir_.Read("debug.txt");
  const std::string start_line = " ISAPI DLL started at ";
  const auto first = text.find(start_line);
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_NE(text.find(start_line, first + 1), std::string::npos) << "each start appends its line";
  EXPECT_NE(text.find(" from " + dir_.path() + "\n"), std::string::npos) << text;
}

}  // namespace
