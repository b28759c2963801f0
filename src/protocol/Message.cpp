#include "protocol/Message.h"

#include <algorithm>
#include <charconv>

#include "platform/Text.h"

namespace protocol {
namespace {

long long Number(std::string_view message, std::size_t offset, std::size_t width, int base = 10) {
  return text::ReadDigits(message, offset, width, base).value;
}

bool CompleteNumber(std::string_view message, std::size_t offset, std::size_t width, long long& value, int base = 10) {
  const auto digits = text::ReadDigits(message, offset, width, base);
  value = digits.value;
  return digits.count == width;
}

std::size_t PrefixDigits(int type, std::size_t index) {
  return IsLongField(type, index) ? kLongPrefixDigits : kShortPrefixDigits;
}

// Calls visit(field) for fields 0 to last of a message of type, the lenient
// way: each length is the digits found at its place, and a field that starts
// past the end is empty.
template <typename Visit>
void WalkFields(std::string_view message, int type, std::size_t last, Visit visit) {
  std::size_t length = static_cast<std::size_t>(Number(message, kHeaderLength, kShortPrefixDigits));
  std::size_t position = kHeaderLength + kShortPrefixDigits;
  for (std::size_t i = 0;; ++i) {
    if (i > 0) {
      position += length;
      const std::size_t width = PrefixDigits(type, i);
      length = static_cast<std::size_t>(Number(message, position, width));
      position += width;
    }
    visit(position >= message.size() ? std::string_view() : message.substr(position, length));
    if (i == last) return;
  }
}

// value as printf's %0<width>d (or %0<width>X) writes it: zeros in front up
// to width, the sign counted in it. A request is built per poll, and the
// formatted calls cost more than the rest of its building.
void AppendPadded(std::string& out, long long value, std::size_t width, int base = 10) {
  char digits[24];
  const unsigned long long magnitude =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  char* const end = std::to_chars(digits, digits + sizeof digits, magnitude, base).ptr;
  const auto digit_count = static_cast<std::size_t>(end - digits);
  const std::size_t count = digit_count + (value < 0 ? 1 : 0);
  if (value < 0) out.push_back('-');
  if (count < width) out.append(width - count, '0');
  if (base > 10) {
    for (char* digit = digits; digit != end; ++digit) {
      if (*digit >= 'a') *digit = static_cast<char>(*digit - 'a' + 'A');
    }
  }
  out.append(digits, digit_count);
}

}  // namespace

void AppendField(std::string& bytes, std::string_view value, std::size_t digits) {
  AppendPadded(bytes, static_cast<long long>(value.size()), digits);
  bytes.append(value);
}

bool IsLongField(int type, std::size_t index) {
  struct LongField {
    int type;
    std::size_t index;
  };
  static constexpr LongField kLongFields[] = {{40, 1}, {51, 1}, {71, 4}, {101, 1}};
  for (const auto& field : kLongFields) {
    if (field.type == type && field.index == index) return true;
  }
  return false;
}

Header ReadHeader(std::string_view message) {
  return {Number(message, kLengthOffset, kLengthDigits),
          static_cast<std::uint32_t>(Number(message, kIdOffset, kIdDigits, 16)),
          static_cast<int>(Number(message, kTypeOffset, kTypeDigits)),
          static_cast<int>(Number(message, kCountOffset, kCountDigits))};
}

std::string EncodeHeader(std::string_view version, std::size_t total_length, std::uint32_t id, int type,
                         int field_count) {
  std::string header;
  header.reserve(kHeaderLength);
  AppendHeader(header, version, total_length, id, type, field_count);
  return header;
}

void AppendHeader(std::string& bytes, std::string_view version, std::size_t total_length, std::uint32_t id, int type,
                  int field_count) {
  const std::size_t start = bytes.size();
  bytes.append(version.substr(0, std::min(kVersionLength, version.find('\0'))));
  AppendPadded(bytes, static_cast<long long>(total_length), 8);
  AppendPadded(bytes, id, 8, 16);
  AppendPadded(bytes, type, 4);
  AppendPadded(bytes, field_count, 4);
  bytes.resize(start + kHeaderLength);
}

std::string ReadField(std::string_view message, std::size_t index) {
  const Header header = ReadHeader(message);
  if (header.fieldCount <= 0 || index >= static_cast<std::size_t>(header.fieldCount)) return {};
  std::string_view field;
  WalkFields(message, header.type, index, [&field](std::string_view each) { field = each; });
  return std::string(field);
}

std::vector<std::string_view> ReadFields(std::string_view message) {
  const Header header = ReadHeader(message);
  std::vector<std::string_view> fields;
  if (header.fieldCount <= 0) return fields;
  fields.reserve(static_cast<std::size_t>(header.fieldCount));
  WalkFields(message, header.type, static_cast<std::size_t>(header.fieldCount) - 1,
             [&fields](std::string_view each) { fields.push_back(each); });
  return fields;
}

bool ParseMessage(std::string_view message, ParsedMessage& parsed) {
  long long length = 0, id = 0, type = 0, count = 0;
  if (message.size() < kHeaderLength || !CompleteNumber(message, kLengthOffset, kLengthDigits, length) ||
      !CompleteNumber(message, kIdOffset, kIdDigits, id, 16) ||
      !CompleteNumber(message, kTypeOffset, kTypeDigits, type) ||
      !CompleteNumber(message, kCountOffset, kCountDigits, count) ||
      static_cast<std::size_t>(length) != message.size()) {
    return false;
  }
  parsed.version = std::string(message.substr(kVersionOffset, kVersionLength));
  parsed.header = {length, static_cast<std::uint32_t>(id), static_cast<int>(type), static_cast<int>(count)};
  parsed.fields.clear();
  std::size_t position = kHeaderLength;
  for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
    const std::size_t width = PrefixDigits(parsed.header.type, i);
    long long field_length = 0;
    if (!CompleteNumber(message, position, width, field_length)) return false;
    position += width;
    if (static_cast<std::size_t>(field_length) > message.size() - position) return false;
    parsed.fields.emplace_back(message.substr(position, static_cast<std::size_t>(field_length)));
    position += static_cast<std::size_t>(field_length);
  }
  return position == message.size();
}

std::string EncodeMessage(std::string_view version, std::uint32_t id, int type,
                          const std::vector<std::string>& fields) {
  std::string body;
  for (std::size_t i = 0; i < fields.size(); ++i) AppendField(body, fields[i], PrefixDigits(type, i));
  return EncodeHeader(version, body.size() + kHeaderLength, id, type, static_cast<int>(fields.size())) + body;
}

}  // namespace protocol

namespace {

void AppendChecked(MessageBody& body, std::string_view value, std::size_t digits, std::size_t limit) {
  if (value.size() > limit) {
    body.overflow = true;
    return;
  }
  protocol::AppendField(body.bytes, value, digits);
}

}  // namespace

void AppendMessageField(MessageBody& body, std::string_view value) {
  AppendChecked(body, value, protocol::kShortPrefixDigits, protocol::kMaxShortField);
}

void AppendLongMessageField(MessageBody& body, std::string_view value) {
  AppendChecked(body, value, protocol::kLongPrefixDigits, protocol::kMaxLongField);
}
