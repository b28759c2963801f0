// How often part occurs in text, without overlaps: lines of a kind in a log.
#pragma once

#include <cstddef>
#include <string>

inline std::size_t CountOccurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}
