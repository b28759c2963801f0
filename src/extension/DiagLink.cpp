// The extension as the diagnostics thread's link to the back end: reports go
// over the pool the chat uses, as heartbeats go over the pools of the services.
#include "backend/Message.h"
#include "extension/RAVO.h"
#include "platform/Text.h"
#include "protocol/Codes.h"

diag::BackendLink::ServerNames CRAVOExtension::DiagServerNames() const {
  auto names = CurrentServerNames();
  return {std::move(names.webServer), std::move(names.webApplication)};
}

int CRAVOExtension::SendDiagHeartbeat(const std::string& web_server, const std::string& web_application) {
  return SendHeartbeat(web_server, web_application);
}

diag::BackendLink::ReportResult CRAVOExtension::SendDiagRecords(std::span<const std::string> fields) {
  MessageBody body;
  // A record longer than a field can carry is cut rather than holding up
  // every later report.
  for (const auto& field : fields) AppendMessageField(body, std::string_view(field).substr(0, protocol::kMaxShortField));
  std::string message;
  std::uint32_t id = 0;
  std::string response;
  if (!BuildVEKACSMessage(message, protocol::Number(protocol::MessageType::kDiagReport), static_cast<int>(fields.size()), body, id) ||
      !CommunicateWithVEKACS(message, response, response, nullptr, m_settings.chatUsesSSL)) {
    return {};
  }
  std::string code;
  ExtractParmFromVEKACSMessage(response, 0, code);
  return {true, text::ReadDigits(code, 0, code.size(), 10).value};
}
