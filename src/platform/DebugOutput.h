// A channel for text meant for whoever debugs the host process.
#pragma once

#include <string_view>

namespace platform {

// Sends text to the system log at debug priority. Safe from any thread.
void OutputDebugText(std::string_view text);

}  // namespace platform
