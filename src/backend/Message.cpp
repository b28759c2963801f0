#include "backend/Message.h"

#include "diag/Diags.h"
#include "diag/TraceLog.h"

void ExtractParmFromVEKACSMessage(std::string_view message, int index, std::string& value) {
  const diag::EntryExitRecords records("CRAVOExtension::ExtractParmFromVEKACSMessage entering",
                                       "CRAVOExtension::ExtractParmFromVEKACSMessage leaving");
  value = index < 0 ? std::string() : protocol::ReadField(message, static_cast<std::size_t>(index));
}

std::vector<std::string_view> ExtractParmsFromVEKACSMessage(std::string_view message) {
  const diag::EntryExitRecords records("CRAVOExtension::ExtractParmFromVEKACSMessage entering",
                                       "CRAVOExtension::ExtractParmFromVEKACSMessage leaving");
  return protocol::ReadFields(message);
}
