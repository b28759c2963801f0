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

constexpr bool IsAsciiLetter(char c) {
  const char lower = ToLowerAscii(c);
  return lower >= 'a' && lower <= 'z';
}

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

// Where name first occurs in text at or after from, ASCII letters compared
// without case; npos when it does not.
constexpr std::size_t FindIgnoringCase(std::string_view text, std::string_view name, std::size_t from = 0) {
  constexpr auto npos = std::string_view::npos;
  if (name.empty()) return from <= text.size() ? from : npos;
  if (from > text.size() || name.size() > text.size()) return npos;
  const std::size_t last = text.size() - name.size();
  // A byte of the name that is no letter has one form: only the places where
  // it stands are compared, found by one fast search. Request variables end
  // in '=', which a query holds once per pair, far fewer times than a letter.
  std::size_t letters_from = name.size();
  while (letters_from > 0 && IsAsciiLetter(name[letters_from - 1])) --letters_from;
  if (letters_from > 0) {
    const std::size_t anchor = letters_from - 1;
    for (std::size_t at = text.find(name[anchor], from + anchor); at != npos && at - anchor <= last;
         at = text.find(name[anchor], at + 1)) {
      if (EqualsIgnoringCase(text.substr(at - anchor, name.size()), name)) return at - anchor;
    }
    return npos;
  }
  // All letters: the places of the first byte's two forms.
  const char lower = ToLowerAscii(name.front());
  const char upper = static_cast<char>(lower - ('a' - 'A'));
  std::size_t next_lower = text.find(lower, from);
  std::size_t next_upper = text.find(upper, from);
  for (;;) {
    const std::size_t at = next_lower < next_upper ? next_lower : next_upper;
    if (at == npos || at > last) return npos;
    if (EqualsIgnoringCase(text.substr(at, name.size()), name)) return at;
    if (at == next_lower) {
      next_lower = text.find(lower, at + 1);
    } else {
      next_upper = text.find(upper, at + 1);
    }
  }
}

// How percent-escapes are read.
struct PercentRule {
  // A form value's '+' is a blank, also where it follows a '%'.
  bool plusIsBlank;
  // An escape must be '%' and two hex digits, else the whole text is refused.
  // Otherwise any two characters after a '%' are read as hex digits would be
  // (the request variables have always been read so: garbage in, garbage
  // out), and a '%' without two characters after it stays.
  bool strict;
};
inline constexpr PercentRule kFormValue{true, false};  // request variables
inline constexpr PercentRule kPathEscapes{false, true};  // a URL's path

// text with its escapes decoded by rule into out; false (out unspecified)
// only when a strict rule refuses the text.
inline bool PercentDecode(std::string_view text, PercentRule rule, std::string& out) {
  const auto plain = [rule](char c) { return rule.plusIsBlank && c == '+' ? ' ' : c; };
  const auto digit = [rule](char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (!rule.strict) return byte >= 'A' ? (byte & ~0x20) - 55 : byte - 48;
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    return -1;
  };
  const auto special = [rule](char c) { return c == '%' || (rule.plusIsBlank && c == '+'); };
  out.clear();
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    // A run that decodes to itself is copied whole.
    std::size_t run_end = i;
    while (run_end < text.size() && !special(text[run_end])) ++run_end;
    out.append(text.data() + i, run_end - i);
    if (run_end == text.size()) break;
    i = run_end;
    const char c = plain(text[i]);
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 2 >= text.size()) {
      if (rule.strict) return false;
      out.push_back(c);
      ++i;
      continue;
    }
    const int high = digit(plain(text[i + 1]));
    const int low = digit(plain(text[i + 2]));
    if (rule.strict && (high < 0 || low < 0)) return false;
    out.push_back(static_cast<char>(static_cast<unsigned char>((16 * high + low) & 0xFF)));
    i += 3;
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
