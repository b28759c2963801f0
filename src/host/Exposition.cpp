#include "host/Exposition.h"

#include <charconv>
#include <cmath>

namespace host {

std::string MetricNumber(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (std::isnan(value)) return "NaN";
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

void Exposition::Family(std::string_view name, std::string_view type, std::string_view help) {
  text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
  text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Exposition::Head(std::string_view name, std::initializer_list<MetricLabel> labels) {
  text_.append(name);
  if (labels.size() == 0) {
    text_.push_back(' ');
    return;
  }
  char separator = '{';
  for (const auto& label : labels) {
    text_.push_back(separator);
    separator = ',';
    text_.append(label.name).append("=\"");
    for (const char c : label.value) {
      if (c == '\\') text_.append("\\\\");
      else if (c == '"') text_.append("\\\"");
      else if (c == '\n') text_.append("\\n");
      else text_.push_back(c);
    }
    text_.push_back('"');
  }
  text_.append("} ");
}

void Exposition::Sample(std::string_view name, std::initializer_list<MetricLabel> labels, double value) {
  Head(name, labels);
  text_.append(MetricNumber(value)).push_back('\n');
}

void Exposition::Sample(std::string_view name, std::initializer_list<MetricLabel> labels, std::uint64_t value) {
  Head(name, labels);
  text_.append(std::to_string(value)).push_back('\n');
}

}  // namespace host
