#include "platform/DebugOutput.h"

#include <syslog.h>

namespace platform {
namespace {

constexpr const char* kIdent = "quorvix";

void Log(int priority, std::string_view text) {
  // Opened at every write: the log keeps only a pointer to the name, and a
  // close at unload must not leave a later write without it.
  openlog(kIdent, LOG_PID, LOG_USER);
  syslog(priority, "%.*s", static_cast<int>(text.size()), text.data());
}

}  // namespace

void OutputDebugText(std::string_view text) { Log(LOG_DEBUG, text); }

void OutputWarningText(std::string_view text) { Log(LOG_WARNING, text); }

void CloseSystemLog() { closelog(); }

}  // namespace platform
