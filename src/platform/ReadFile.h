// Whole-file reads for files the module reads at every page: plain system
// calls, one read for the whole file, and no stream or locale machinery.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Reads the regular file at path into text. False (text unspecified) when it
// cannot be opened, is not a regular file (a FIFO must not hang a request
// thread) or is larger than max_bytes.
bool ReadRegularFile(const std::string& path, std::string& text, std::size_t max_bytes);

}  // namespace platform
