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
  const diag::EntryExitRecords records("CRAVOExtension::BuildVEKACSMessage entering",
                                       "CRAVOExtension::BuildVEKACSMessage leaving");
  if (static_cast<unsigned>(type - 10) > 1001u) return false;
  if (body.overflow || field_count < 0 || field_count >= protocol::kMaxFieldCount) {
    diag::TraceLine("CRAVOExtension::BuildVEKACSMessage: a field is too long for its length prefix\n");
    return false;
  }
  MessageBody copy = body;
  AppendMessageField(copy, m_settings.password);
  const std::size_t total = copy.bytes.size() + protocol::kHeaderLength;
  if (total > protocol::kMaxMessageLength) return false;
  const std::uint32_t id = NextRequestId();
  request_id = id;
  diag::TraceLine("CRAVOExtension::BuildVEKACSMessage: Building request ID %u ... \n", id);
  message = protocol::EncodeHeader(m_versionString, total, id, type, field_count + 1);
  message.append(copy.bytes);
  return true;
}
