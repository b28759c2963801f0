// The back end's message format: a 37-byte header of digits, then fields that
// each carry their length as a 4-digit (short) or 8-digit (long) prefix.
// There is no separator and no escaping, so which fields are long must be
// known to both ends: IsLongField is the one table of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace protocol {

// Header layout: version text, total length, request id (hexadecimal),
// message type, field count.
inline constexpr std::size_t kVersionOffset = 0;
inline constexpr std::size_t kVersionLength = 13;
inline constexpr std::size_t kLengthOffset = 13;
inline constexpr std::size_t kLengthDigits = 8;
inline constexpr std::size_t kIdOffset = 21;
inline constexpr std::size_t kIdDigits = 8;
inline constexpr std::size_t kTypeOffset = 29;
inline constexpr std::size_t kTypeDigits = 4;
inline constexpr std::size_t kCountOffset = 33;
inline constexpr std::size_t kCountDigits = 4;
inline constexpr std::size_t kHeaderLength = 37;
// A reader learns a message's length from its first bytes: version, length and id.
inline constexpr std::size_t kLengthPrefixBytes = kTypeOffset;

inline constexpr std::size_t kShortPrefixDigits = 4;
inline constexpr std::size_t kLongPrefixDigits = 8;
inline constexpr std::size_t kMaxShortField = 9999;
inline constexpr std::size_t kMaxLongField = 99999999;
inline constexpr std::size_t kMaxMessageLength = 99999999;
inline constexpr int kMaxFieldCount = 9999;

// The version text this front end and the back end speak.
inline constexpr std::string_view kVersion = "10.04.00.0009";

// Whether field index of a message of type (the type its header reads) has
// an 8-digit prefix: the chat text of a post, the transcript of a poll or
// hang-up answer, the call-type list of an availability answer.
bool IsLongField(int type, std::size_t index);

// The values of the header, as numbers.
struct Header {
  long long length = 0;
  std::uint32_t id = 0;
  int type = 0;
  int fieldCount = 0;
};

// The header fields at their places; digits stop at the first other character.
Header ReadHeader(std::string_view message);

// Writes a 37-byte header.
std::string EncodeHeader(std::string_view version, std::size_t total_length, std::uint32_t id, int type,
                         int field_count);
// The same header appended to bytes.
void AppendHeader(std::string& bytes, std::string_view version, std::size_t total_length, std::uint32_t id, int type,
                  int field_count);

// Field index (0-based) of a complete message, read the lenient way the
// front end reads responses: empty when the message has no such field.
std::string ReadField(std::string_view message, std::size_t index);
// Every field of the header's count, read as ReadField reads each, as views
// into message.
std::vector<std::string_view> ReadFields(std::string_view message);

// A whole message read strictly: every number complete, every field inside
// the message, nothing left over.
struct ParsedMessage {
  std::string version;
  Header header;
  std::vector<std::string> fields;
};
bool ParseMessage(std::string_view message, ParsedMessage& parsed);

// Appends value behind its length prefix of digits digits (the caller keeps
// value within what the prefix can count).
void AppendField(std::string& bytes, std::string_view value, std::size_t digits);

// A whole message from its fields, each with the prefix its place asks for.
std::string EncodeMessage(std::string_view version, std::uint32_t id, int type,
                          const std::vector<std::string>& fields);

}  // namespace protocol

// A request body being built. A value too long for its prefix would corrupt
// everything after it on the wire, so it marks the body unusable instead.
struct MessageBody {
  std::string bytes;
  bool overflow = false;
};

void AppendMessageField(MessageBody& body, std::string_view value);
void AppendLongMessageField(MessageBody& body, std::string_view value);
