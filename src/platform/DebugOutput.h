// Channels for text meant for whoever runs or debugs the host process: the
// system log, under the module's own name, so that its lines can be told from
// the host's.
#pragma once

#include <string_view>

namespace platform {

// Sends text to the system log at debug priority. Safe from any thread.
void OutputDebugText(std::string_view text);
// Sends text to the system log at warning priority: something an operator
// should see, such as records the module had to give up. Safe from any thread.
void OutputWarningText(std::string_view text);
// Before the module is unloaded: the log must not keep the module's name,
// which lives in the module's memory.
void CloseSystemLog();

}  // namespace platform
