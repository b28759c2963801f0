// One line per answered request, in the common log format: host ident user
// [time] "request" status bytes. The lines go to standard output or to a
// file that is reopened on demand, so that log rotation renames the file and
// the host carries on in a new one without losing a line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace host {

// Before the first line: appends to path from now on. False with a one-line
// reason when it cannot be opened.
bool OpenAccessLog(const std::string& path, std::string& error);
// Opens the file again by its name and then closes the old one; a line is
// written to one or the other, never lost. Keeps the old file, and says why,
// when the name cannot be opened. Nothing to do on standard output.
bool ReopenAccessLog(std::string& error);

// note, when not empty, follows the byte count as code=NOTE: the code an
// error page showed, which went out with status 200.
void WriteAccessLogLine(std::string_view remote, std::string_view method, std::string_view target,
                        unsigned status, std::size_t bytes, std::string_view note = {});

// What the log shows of a request's target: the path and the operation the
// request names, since the other values are visitors' personal data; or the
// whole target when values are wanted.
std::string LoggedTarget(std::string_view path, std::string_view request_name, std::string_view raw_target,
                         bool values);

}  // namespace host
