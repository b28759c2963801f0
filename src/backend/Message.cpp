#include "backend/Message.h"

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"

void ExtractParmFromVEKACSMessage(std::string_view message, int index, std::string& value) {
  const diag::EntryExitRecords records("CRAVOExtension::ExtractParmFromVEKACSMessage entering",
                                       "CRAVOExtension::ExtractParmFromVEKACSMessage leaving");
  value = index < 0 ? std::string() : protocol::ReadField(message, static_cast<std::size_t>(index));
}

bool CRAVOExtension::BuildVEKACSMessage(std::string& message, int type, int field_count,
                                        const MessageBody& body, std::uint32_t& request_id) {
  return m_backend.Build(message, type, field_count, body, request_id);
}

bool CRAVOExtension::CommunicateWithVEKACS(const std::string& request, std::string& response,
                                           std::string& error, std::unique_ptr<AsyncRequestInfo>* pending,
                                           bool use_ssl) {
  if (pending == nullptr || !*pending) return m_backend.Communicate(request, response, error, nullptr, use_ssl);
  // The record travels in a holder the job shares, so that it comes back to
  // the caller when no worker thread could take it.
  auto holder = std::make_shared<std::unique_ptr<AsyncRequestInfo>>(std::move(*pending));
  BackendClient::PendingJob job = [this, holder](BackendClient::Connection connection) {
    (*holder)->connection = std::move(connection);
    AsyncThreadProc(std::move(*holder));
  };
  if (m_backend.Communicate(request, response, error, &job, use_ssl)) return true;
  *pending = std::move(*holder);
  return false;
}

bool CRAVOExtension::GetVEKACSResponse(TRSocket& connection, std::string& response, std::string& error) {
  return m_backend.ReadResponse(connection, response, error);
}
