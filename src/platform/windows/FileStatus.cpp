#include "platform/FileStatus.h"

#include <windows.h>

#include <algorithm>
#include <new>

namespace platform {
namespace {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 116444736000000000LL;

timespec FromFileTime(LARGE_INTEGER time) {
  const std::int64_t since_1970 = time.QuadPart - kEpochDifference;
  timespec result{};
  result.tv_sec = static_cast<time_t>(since_1970 / 10000000);
  result.tv_nsec = static_cast<long>((since_1970 % 10000000) * 100);
  return result;
}

// A handle that lets others read, write, rename and delete meanwhile, as a
// web server's files must allow.
HANDLE OpenForReading(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The identity of an open regular file (a disk file, not a directory).
bool IdentityOf(HANDLE file, FileIdentity& identity) {
  if (GetFileType(file) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandle(file, &info) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  identity.device = info.dwVolumeSerialNumber;
  identity.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  identity.modified = FromFileTime(basic.LastWriteTime);
  identity.changed = FromFileTime(basic.ChangeTime);
  return true;
}

}  // namespace

bool RegularFileIdentity(const std::string& path, FileIdentity& identity) {
  const HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool regular = IdentityOf(file, identity);
  CloseHandle(file);
  return regular;
}

bool ReadRegularFile(const std::string& path, std::size_t max_bytes, std::string& text, FileIdentity& identity) {
  const HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool read = false;
  if (IdentityOf(file, identity) && identity.size >= 0 && static_cast<std::uint64_t>(identity.size) <= max_bytes) {
    try {
      text.resize(static_cast<std::size_t>(identity.size));
      std::size_t done = 0;
      read = true;
      while (read && done < text.size()) {
        DWORD count = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 30));
        read = ReadFile(file, text.data() + done, want, &count, nullptr) && count > 0;
        done += count;
      }
    } catch (const std::bad_alloc&) {
      read = false;
    }
  }
  CloseHandle(file);
  return read;
}

std::string RealPath(const std::string& path) {
  // The full path with "." and ".." resolved; the file or folder must exist,
  // as for a resolved path on Linux.
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return {};
  if (GetFileAttributesA(full) == INVALID_FILE_ATTRIBUTES) return {};
  std::string result(full, length);
  // A folder named with its trailing separator resolves without it.
  if (result.size() > 3 && (result.back() == '\\' || result.back() == '/')) result.pop_back();
  return result;
}

}  // namespace platform
