// The heartbeat: tells the back end that this front end is alive and under
// which server name, application and port it runs.
#include "backend/Message.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "platform/Text.h"

namespace {

bool BuildHeartbeat(CRAVOExtension& extension, const std::string& host, const std::string& application,
                    const std::string& port, std::string& message) {
  MessageBody body;
  AppendMessageField(body, host);
  AppendMessageField(body, application);
  AppendMessageField(body, port);
  std::uint32_t id = 0;
  return extension.BuildVEKACSMessage(message, 1000, 3, body, id);
}

}  // namespace

int CRAVOExtension::REQ_HEARTBEAT(CHttpServerContext*, const std::string& host_name,
                                  const std::string& web_application, const std::string& port) {
  diag::TraceLine("CRAVOExtension::REQ_HEARTBEAT: Entered\n");
  std::string message;
  if (!BuildHeartbeat(*this, host_name, web_application, port, message)) {
    diag::TraceLine("CRAVOExtension::REQ_HEARTBEAT: Build message failed\n");
    return 0;
  }
  std::string reply;
  if (!CommunicateWithVEKACS(message, reply, reply, nullptr, false)) {
    diag::TraceLine("CRAVOExtension::REQ_HEARTBEAT: CommunicateWithVEKACS failed\n");
  }
  return 0;
}

int CRAVOExtension::SendHeartbeat(const std::string& web_server, const std::string& web_application) {
  std::string message;
  if (m_settings.AnyServicePlain() &&
      BuildHeartbeat(*this, web_server, web_application, m_settings.portText, message)) {
    std::string response;
    std::string error;
    // Only the TLS heartbeat's answer is reported; this one is only sent.
    (void)CommunicateWithVEKACS(message, response, error, nullptr, false);
  }
  if (!m_settings.AnyServiceSecure()) return 0;
  int result = -1;
  if (BuildHeartbeat(*this, web_server, web_application, m_settings.sslPortText, message)) {
    std::string response;
    std::string error;
    if (CommunicateWithVEKACS(message, response, error, nullptr, true)) {
      std::string code;
      ExtractParmFromVEKACSMessage(response, 0, code);
      result = static_cast<int>(text::ReadDigits(code, 0, code.size(), 10).value);
    }
  }
  return result;
}
