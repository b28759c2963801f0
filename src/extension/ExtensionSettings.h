// What RAVO.ini sets, as the module keeps it: read by the extension and by
// the configuration checker, which needs nothing else of the extension.
#pragma once

#include <string>

// Everything RAVO.ini sets, after defaults and clamping. LoadSettings sets
// every field; nothing reads one before it.
struct ExtensionSettings {
  std::string iniPath;
  std::string moduleDirectory;    // ends in '/' unless empty
  std::string templateDirectory;  // contains <WCLANGUAGE> unless configured otherwise
  std::string defaultLanguage;

  std::string backendAddress;
  int port = 0;
  std::string portText;  // as read; the heartbeat sends it
  int sslPort = 0;
  std::string sslPortText;
  bool chatUsesSSL = false;
  bool callbackUsesSSL = false;
  bool voiceXmlUsesSSL = false;
  int minSockets = 0;
  int maxSockets = 0;
  int minSSLSockets = 0;
  int maxSSLSockets = 0;
  bool debugOutput = false;
  std::string password;  // scrambled, at most 40 bytes

  int diagIntervalSec = 0;
  int diagMaxMemory = 0;
  int diagThreshold = 0;

  bool AnyServicePlain() const { return !chatUsesSSL || !callbackUsesSSL || !voiceXmlUsesSSL; }
  bool AnyServiceSecure() const { return chatUsesSSL || callbackUsesSSL || voiceXmlUsesSSL; }
};
