// The back end's side of the message format: reading requests, writing
// responses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct Request {
  std::string version;
  std::uint32_t id = 0;
  int type = 0;
  std::vector<std::string> fields;  // the password field is the last one
};

// Which request fields carry an 8-digit length prefix.
bool IsLongRequestField(int type, std::size_t index);
// Which response fields do (as the module reads them).
bool IsLongResponseField(int type, std::size_t index);

// Parses a whole request (header included); false when it is malformed.
bool ParseRequest(std::string_view message, Request& request);

struct Response {
  int type = 0;
  std::uint32_t id = 0;
  std::vector<std::string> fields;  // field 0 is the return code
};

std::string EncodeResponse(const Response& response);

}  // namespace sim
