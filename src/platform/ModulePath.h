// Where the module lives on disk, and how its paths are written.
#pragma once

#include <string>

namespace platform {

// Full path of the shared object (or DLL, or executable) that contains this
// code, as the loader knows it; empty when the loader cannot tell.
std::string ModuleFileName();

// The separator the module writes into the paths it builds (its folder, the
// template and voice folders), and every character that separates the
// components of a path on this platform.
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
inline constexpr const char* kPathSeparators = "\\/";
#else
inline constexpr char kPathSeparator = '/';
inline constexpr const char* kPathSeparators = "/";
#endif

}  // namespace platform
