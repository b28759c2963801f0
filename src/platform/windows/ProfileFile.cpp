#include "platform/ProfileString.h"

#include <windows.h>

namespace platform {

// The system's own reader: operators' files read exactly as every other
// program on the machine reads them.
std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key) {
  char value[kMaxProfileValue + 1] = "";
  const DWORD length = GetPrivateProfileStringA(std::string(section).c_str(), std::string(key).c_str(), "", value,
                                                sizeof value, path.c_str());
  return std::string(value, length);
}

}  // namespace platform
