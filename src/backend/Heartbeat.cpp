// The heartbeat: tells the back end that this front end is alive and under
// which server name, application and port it runs.
#include "diag/TraceLog.h"
#include "extension/RAVO.h"

int CRAVOExtension::REQ_HEARTBEAT(CHttpServerContext*, const std::string& host_name,
                                  const std::string& web_application, const std::string& port) {
  diag::TraceLine("CRAVOExtension::REQ_HEARTBEAT: Entered\n");
  std::string message;
  if (!m_backend.BuildHeartbeat(host_name, web_application, port, message)) {
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
  return m_backend.SendHeartbeat(web_server, web_application,
                                 {m_settings.AnyServicePlain(), m_settings.AnyServiceSecure(), m_settings.portText,
                                  m_settings.sslPortText});
}
