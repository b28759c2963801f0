#include "platform/DebugOutput.h"

#include <syslog.h>

namespace platform {

void OutputDebugText(std::string_view text) {
  syslog(LOG_DEBUG, "%.*s", static_cast<int>(text.size()), text.data());
}

}  // namespace platform
