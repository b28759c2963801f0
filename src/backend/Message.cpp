#include "backend/Message.h"

#include <cinttypes>
#include <cstdio>

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"

namespace {

void AppendField(MessageBody& body, std::string_view value, int width, std::size_t limit) {
  if (value.size() > limit) {
    body.overflow = true;
    return;
  }
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%0*zu", width, value.size());
  body.bytes.append(prefix).append(value);
}

int DigitValue(char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsLongField(int type, int index) {
  return (type == 51 && index == 1) || (type == 71 && index == 4) || (type == 101 && index == 1);
}

}  // namespace

void AppendMessageField(MessageBody& body, std::string_view value) {
  AppendField(body, value, 4, kMaxShortField);
}

void AppendLongMessageField(MessageBody& body, std::string_view value) {
  AppendField(body, value, 8, kMaxLongField);
}

long long LeadingNumber(std::string_view text, std::size_t offset, std::size_t width, int base) {
  long long value = 0;
  for (std::size_t i = offset; i < text.size() && i < offset + width; ++i) {
    const int digit = DigitValue(text[i], base);
    if (digit < 0) break;
    value = value * base + digit;
  }
  return value;
}

void ExtractParmFromVEKACSMessage(std::string_view message, int index, std::string& value) {
  const diag::EntryExitRecords records("CRAVOExtension::ExtractParmFromVEKACSMessage entering",
                                       "CRAVOExtension::ExtractParmFromVEKACSMessage leaving");
  value.clear();
  const int type = static_cast<int>(LeadingNumber(message, 29, 4, 10));
  const long long count = LeadingNumber(message, 33, 4, 10);
  if (count == 0 || index < 0 || index >= count) return;
  std::size_t length = static_cast<std::size_t>(LeadingNumber(message, 37, 4, 10));
  std::size_t position = 41;
  for (int i = 1; i <= index; ++i) {
    position += length;
    const std::size_t width = IsLongField(type, i) ? 8 : 4;
    length = static_cast<std::size_t>(LeadingNumber(message, position, width, 10));
    position += width;
  }
  if (position < message.size()) value.assign(message.substr(position, length));
}

bool CRAVOExtension::BuildVEKACSMessage(std::string& message, int type, int field_count,
                                        const MessageBody& body, std::uint32_t& request_id) {
  const diag::EntryExitRecords records("CRAVOExtension::BuildVEKACSMessage entering",
                                       "CRAVOExtension::BuildVEKACSMessage leaving");
  if (static_cast<unsigned>(type - 10) > 1001u) return false;
  if (body.overflow || field_count < 0 || field_count > 9998) {
    diag::TraceLine("CRAVOExtension::BuildVEKACSMessage: a field is too long for its length prefix\n");
    return false;
  }
  MessageBody copy = body;
  AppendMessageField(copy, m_settings.password);
  const std::size_t total = copy.bytes.size() + kMessageHeaderLength;
  if (total > 99999999) return false;
  const std::uint32_t id = NextRequestId();
  request_id = id;
  diag::TraceLine("CRAVOExtension::BuildVEKACSMessage: Building request ID %u ... \n", id);
  char header[kMessageHeaderLength + 1];
  std::snprintf(header, sizeof header, "%s%08zu%08" PRIX32 "%04d%04d", m_versionString.c_str(), total,
                id, type, field_count + 1);
  message.assign(header, kMessageHeaderLength).append(copy.bytes);
  return true;
}
