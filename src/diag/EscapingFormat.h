// printf-style formatting for log lines whose values may come from visitors:
// control characters inside %s and %c values are written as escapes ("\r",
// "\n", "\t", "\x1B" ...), so that a value can neither start a line of its
// own nor drive the terminal of whoever reads the log. The format's own text
// (its line end included) is written as it is.
#pragma once

#include <cstdarg>
#include <string>

namespace diag {

std::string FormatEscapingValues(const char* format, va_list args);

}  // namespace diag
