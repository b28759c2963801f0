// Reading template files.
#pragma once

#include <cstddef>
#include <string>

// Templates are small; a larger file is not a template and is refused rather
// than read into memory.
inline constexpr std::size_t kMaxTemplateBytes = 64 << 20;

// Reads a whole regular file into text, byte for byte. On failure text is
// empty, false is returned and the trace file says which path failed.
bool LoadTextFile(const std::string& path, std::string& text);

// The template directory with every <WCLANGUAGE> replaced by language.
std::string PathForLanguage(std::string path, const std::string& language);

// True when page_name names a file directly inside directory: no path
// separators, no "..", no NUL, and not a link that leads out of it.
bool IsSafePageName(const std::string& page_name, const std::string& directory);

// The folder that holds every language's folder: the template directory up to
// the folder in which <WCLANGUAGE> appears, or all of it when it has none.
std::string TemplateRoot(const std::string& template_directory);

// True when path, with every link followed, lies inside the real path of
// root. The language folder is named by the visitor and may itself be a link,
// so checking against it alone proves nothing. A path that does not resolve
// counts as inside: there is nothing there to read.
bool IsInsideRoot(const std::string& path, const std::string& root);
// The same with the root already resolved (RealRoot of the template directory).
bool IsInsideRealRoot(const std::string& path, const std::string& real_root);
std::string RealRoot(const std::string& template_directory);
