#include "platform/DebugOutput.h"

#include <windows.h>

#include <string>

namespace platform {
namespace {

// The debugger's channel takes NUL-terminated text; the module's name leads
// each line so that a debugger's view tells it from the web server's.
void Output(std::string_view level, std::string_view text) {
  std::string line = "quorvix";
  line.append(level).append(": ").append(text);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  OutputDebugStringA(line.c_str());
}

}  // namespace

void OutputDebugText(std::string_view text) { Output("", text); }

void OutputWarningText(std::string_view text) { Output(" warning", text); }

// The debugger's channel keeps nothing of the module's.
void CloseSystemLog() {}

}  // namespace platform
