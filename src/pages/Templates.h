// Reading template files.
#pragma once

#include <string>

// Reads a whole regular file into text, byte for byte. On failure text is
// empty, false is returned and the trace file says which path failed.
bool LoadTextFile(const std::string& path, std::string& text);

// The template directory with every <WCLANGUAGE> replaced by language.
std::string PathForLanguage(std::string path, const std::string& language);

// True when page_name names a file directly inside directory: no path
// separators, no "..", no NUL, and not a link that leads out of it.
bool IsSafePageName(const std::string& page_name, const std::string& directory);
