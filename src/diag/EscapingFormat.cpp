#include "diag/EscapingFormat.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/types.h>

#include "platform/Text.h"

namespace diag {
namespace {

// One conversion formatted on its own, with the value already taken. spec
// is cut from a format the compiler checked against its arguments.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename T>
std::string FormatOne(const std::string& spec, T value) {
  char small[128];
  const int length = std::snprintf(small, sizeof small, spec.c_str(), value);
  if (length < 0) return {};
  if (static_cast<std::size_t>(length) < sizeof small) return std::string(small, static_cast<std::size_t>(length));
  std::string large(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(large.data(), large.size(), spec.c_str(), value);
  large.pop_back();
  return large;
}
#pragma GCC diagnostic pop

// Takes the argument of a conversion (its length modifier and letter) from
// args and formats it; the caller's format was checked against its arguments
// by the compiler, so the types match.
std::string FormatArgument(const std::string& spec, std::string_view length, char conversion, va_list& args) {
  switch (conversion) {
    case 'd':
    case 'i':
      if (length == "l") return FormatOne(spec, va_arg(args, long));
      if (length == "ll") return FormatOne(spec, va_arg(args, long long));
      if (length == "z") return FormatOne(spec, va_arg(args, ssize_t));
      if (length == "j") return FormatOne(spec, va_arg(args, std::intmax_t));
      if (length == "t") return FormatOne(spec, va_arg(args, std::ptrdiff_t));
      return FormatOne(spec, va_arg(args, int));
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      if (length == "l") return FormatOne(spec, va_arg(args, unsigned long));
      if (length == "ll") return FormatOne(spec, va_arg(args, unsigned long long));
      if (length == "z") return FormatOne(spec, va_arg(args, std::size_t));
      if (length == "j") return FormatOne(spec, va_arg(args, std::uintmax_t));
      if (length == "t") return FormatOne(spec, va_arg(args, std::ptrdiff_t));
      return FormatOne(spec, va_arg(args, unsigned));
    case 'c': {
      std::string out;
      text::AppendEscapingControls(out, FormatOne(spec, va_arg(args, int)));
      return out;
    }
    case 's': {
      const char* value = va_arg(args, const char*);
      std::string out;
      text::AppendEscapingControls(out, FormatOne(spec, value != nullptr ? value : "(null)"));
      return out;
    }
    case 'p':
      return FormatOne(spec, va_arg(args, void*));
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      if (length == "L") return FormatOne(spec, va_arg(args, long double));
      return FormatOne(spec, va_arg(args, double));
    default:
      return spec;  // not a conversion this code uses: shown as written
  }
}

}  // namespace

std::string FormatEscapingValues(const char* format, va_list args) {
  va_list own;
  va_copy(own, args);
  std::string out;
  for (const char* p = format; *p != '\0';) {
    if (*p != '%') {
      const char* next = std::strchr(p, '%');
      const std::size_t count = next != nullptr ? static_cast<std::size_t>(next - p) : std::strlen(p);
      out.append(p, count);
      p += count;
      continue;
    }
    if (p[1] == '%') {
      out.push_back('%');
      p += 2;
      continue;
    }
    // %[flags][width][.precision][length]conversion; a * takes an int.
    std::string spec = "%";
    ++p;
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) spec.push_back(*p++);
    const auto number = [&] {
      if (*p == '*') {
        spec += std::to_string(va_arg(own, int));
        ++p;
      }
      while (*p >= '0' && *p <= '9') spec.push_back(*p++);
    };
    number();
    if (*p == '.') {
      spec.push_back(*p++);
      number();
    }
    const char* length_start = p;
    while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) ++p;
    const std::string_view length(length_start, static_cast<std::size_t>(p - length_start));
    if (*p == '\0') break;
    spec.append(length).push_back(*p);
    out += FormatArgument(spec, length, *p, own);
    ++p;
  }
  va_end(own);
  return out;
}

}  // namespace diag
