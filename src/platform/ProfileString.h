// Reads one value from an initialisation file ("[section]" and "key=value"
// lines), the way operators expect of such files.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace platform {

// The longest value returned; longer values are cut.
inline constexpr std::size_t kMaxProfileValue = 999;

// An initialisation file is a few kilobytes; a larger file is not one and
// reads as missing.
inline constexpr std::size_t kMaxProfileFileBytes = 16 << 20;

struct ProfileEntry {
  std::string value;     // as ReadProfileString returns it
  std::size_t line = 0;  // 1-based line of the key in the file
};

// Every entry of an initialisation file's text, read by the rules of
// ReadProfileString; the first of repeated keys counts.
class ProfileEntries {
 public:
  explicit ProfileEntries(std::string_view text);
  // The entry of key in section, or null when either is absent.
  const ProfileEntry* Find(std::string_view section, std::string_view key) const;

 private:
  // Looked up by a key made on the stack: a page's look-up allocates nothing.
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
  };
  std::unordered_map<std::string, ProfileEntry, KeyHash, std::equal_to<>> entries_;  // by LookupKey
};

// The value of key in section of the file at path. The file is checked at every
// call, so edits take effect at once. Section and key names match without
// regard to letter case; blanks around names and values are ignored, as are
// lines starting with ';' or '#'. A value wrapped in one pair of matching
// quotes loses them. A missing file, section or key gives the empty text.
// Thread-safe. On Windows the system's own GetPrivateProfileStringA reads the
// file, as it does for every other program there.
std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key);

}  // namespace platform
