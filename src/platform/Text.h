// The few ways this system reads text: digits at a fixed place of a message,
// numbers the way atoi reads them, and names compared without letter case.
// Header-only, so the module, the host and the simulator share them without
// linking each other.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace text {

struct Digits {
  long long value = 0;   // saturates far below overflow: a huge number stays huge
  std::size_t count = 0; // how many digits were read before another character
};

// The digits (base 10, or 16 with either letter case) at offset, at most
// width of them, stopping at the first other character or the end.
constexpr Digits ReadDigits(std::string_view text, std::size_t offset, std::size_t width, int base) {
  constexpr long long kCap = LLONG_MAX / 32;
  Digits digits;
  for (std::size_t i = offset; i < text.size() && digits.count < width; ++i, ++digits.count) {
    const char c = text[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) break;
    digits.value = digits.value > kCap ? kCap : digits.value * base + digit;
  }
  return digits;
}

// Leading blanks, an optional sign and the decimal digits up to the first
// other character; no digits give 0. Values beyond int saturate.
constexpr int ParseLeadingInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const long long value = ReadDigits(text, i, text.size(), 10).value;
  if (negative) return value > -static_cast<long long>(INT_MIN) ? INT_MIN : static_cast<int>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// An ASCII capital as its small letter; every other byte as it is.
constexpr char ToLowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

// ASCII letters compare without case; every other byte must match exactly.
constexpr bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    const auto lower = static_cast<unsigned char>(x | 0x20);
    if (x != y && !((x ^ y) == 0x20 && lower >= 'a' && lower <= 'z')) return false;
  }
  return true;
}

// Appends text with its control characters written as escapes ("\r", "\n",
// "\t", "\x1B" ...): a value from outside written into a log can then
// neither start a line of its own nor drive the reader's terminal. Every
// other byte is kept.
inline void AppendEscapingControls(std::string& out, std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out.push_back(c);
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      out += escape;
    }
  }
}

inline std::string EscapingControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscapingControls(out, text);
  return out;
}

}  // namespace text
