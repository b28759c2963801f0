// One line per answered request on standard output, in the common log
// format: host ident user [time] "request" status bytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace host {

void WriteAccessLogLine(std::string_view remote, std::string_view method, std::string_view target,
                        unsigned status, std::size_t bytes);

}  // namespace host
