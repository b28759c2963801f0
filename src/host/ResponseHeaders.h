// What the module sends as its status line and header lines, made safe to
// hand to the HTTP library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace host {

struct HeaderLine {
  std::string name;
  std::string value;
};

// Splits "Name: value" lines (CR LF or LF separated). Lines without a colon or
// name are dropped, as are the headers the server itself must own:
// Content-Length, Connection and Transfer-Encoding.
std::vector<HeaderLine> ParseModuleHeaders(std::string_view text);

// The status number at the start of a status line such as "404 Not Found", or
// fallback when there is none in 100..999.
unsigned ParseStatusLine(std::string_view line, unsigned fallback);

}  // namespace host
