// The back end's message format: a 37-byte header of digits, then fields that
// each carry their length as a 4-digit (short) or 8-digit (long) prefix.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t kMessageHeaderLength = 37;
inline constexpr std::size_t kMaxShortField = 9999;
inline constexpr std::size_t kMaxLongField = 99999999;

// A request body being built. A value too long for its prefix would corrupt
// everything after it on the wire, so it marks the body unusable instead.
struct MessageBody {
  std::string bytes;
  bool overflow = false;
};

void AppendMessageField(MessageBody& body, std::string_view value);
void AppendLongMessageField(MessageBody& body, std::string_view value);

// Field number index (0-based) of a complete response, header included, or
// the empty text when there is no such field. Which fields have long prefixes
// follows from the response type (field 1 of 51 and 101, field 4 of 71).
void ExtractParmFromVEKACSMessage(std::string_view message, int index, std::string& value);

// The decimal (base 10) or hexadecimal (base 16) value of the leading digits
// of the width characters at offset; 0 when there are none or the text ends.
long long LeadingNumber(std::string_view text, std::size_t offset, std::size_t width, int base);
