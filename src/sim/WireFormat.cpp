#include "sim/WireFormat.h"

#include <cstdio>

namespace sim {
namespace {

bool ReadNumber(std::string_view text, std::size_t offset, std::size_t width, int base, long long& value) {
  if (offset + width > text.size()) return false;
  value = 0;
  for (std::size_t i = offset; i < offset + width; ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return false;
    value = value * base + digit;
  }
  return true;
}

}  // namespace

bool IsLongRequestField(int type, std::size_t index) { return type == 40 && index == 1; }

bool IsLongResponseField(int type, std::size_t index) {
  return (type == 51 && index == 1) || (type == 71 && index == 4) || (type == 101 && index == 1);
}

bool ParseRequest(std::string_view message, Request& request) {
  long long total = 0, id = 0, type = 0, count = 0;
  if (!ReadNumber(message, 13, 8, 10, total) || !ReadNumber(message, 21, 8, 16, id) ||
      !ReadNumber(message, 29, 4, 10, type) || !ReadNumber(message, 33, 4, 10, count) ||
      static_cast<std::size_t>(total) != message.size()) {
    return false;
  }
  request.version = std::string(message.substr(0, 13));
  request.id = static_cast<std::uint32_t>(id);
  request.type = static_cast<int>(type);
  request.fields.clear();
  std::size_t position = 37;
  for (long long i = 0; i < count; ++i) {
    const std::size_t width = IsLongRequestField(request.type, static_cast<std::size_t>(i)) ? 8 : 4;
    long long length = 0;
    if (!ReadNumber(message, position, width, 10, length)) return false;
    position += width;
    if (position + static_cast<std::size_t>(length) > message.size()) return false;
    request.fields.emplace_back(message.substr(position, static_cast<std::size_t>(length)));
    position += static_cast<std::size_t>(length);
  }
  return position == message.size();
}

std::string EncodeResponse(const Response& response) {
  std::string body;
  char prefix[16];
  for (std::size_t i = 0; i < response.fields.size(); ++i) {
    const bool is_long = IsLongResponseField(response.type, i);
    std::snprintf(prefix, sizeof prefix, is_long ? "%08zu" : "%04zu", response.fields[i].size());
    body.append(prefix).append(response.fields[i]);
  }
  char header[48];
  std::snprintf(header, sizeof header, "10.04.00.0009%08zu%08X%04d%04zu", body.size() + 37,
                static_cast<unsigned>(response.id), response.type, response.fields.size());
  return std::string(header, 37) + body;
}

}  // namespace sim
