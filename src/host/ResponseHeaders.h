// What the module sends as its status line and header lines, made safe to
// send on.
#pragma once

#include <string>
#include <string_view>

namespace host {

// Appends the head of a module's answer, written by hand rather than by the
// HTTP library since every answer has one: the status line; the module's
// "Name: value" lines (CR LF or LF separated) less those without a colon or
// name and those the server itself must own (Content-Length, Connection,
// Transfer-Encoding); Content-Type text/html where the module named none and
// a body goes; Content-Length where the status allows a body; "Connection:
// close" when closing; the blank line.
void AppendAnswerHead(std::string& head, unsigned status, std::string_view module_headers, bool has_body,
                      std::size_t content_length, bool closing);

// The status number at the start of a status line such as "404 Not Found", or
// fallback when there is none in 100..999.
unsigned ParseStatusLine(std::string_view line, unsigned fallback);

}  // namespace host
