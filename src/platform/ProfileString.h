// Reads one value from an initialisation file ("[section]" and "key=value"
// lines), the way operators expect of such files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The longest value returned; longer values are cut.
inline constexpr std::size_t kMaxProfileValue = 999;

// The value of key in section of the file at path. The file is checked at every
// call, so edits take effect at once. Section and key names match without
// regard to letter case; blanks around names and values are ignored, as are
// lines starting with ';' or '#'. A value wrapped in one pair of matching
// quotes loses them. A missing file, section or key gives the empty text.
// Thread-safe.
std::string GetProfileString(const std::string& path, std::string_view section,
                             std::string_view key);

}  // namespace platform
