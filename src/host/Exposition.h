// Builds a page in the Prometheus text exposition format, version 0.0.4:
// per family a # HELP and a # TYPE line, then its samples. Names are the
// caller's constants; label values are escaped here.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace host {

struct MetricLabel {
  std::string_view name;
  std::string_view value;
};

class Exposition {
 public:
  static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

  // type: counter, gauge or histogram.
  void Family(std::string_view name, std::string_view type, std::string_view help);
  void Sample(std::string_view name, std::initializer_list<MetricLabel> labels, double value);
  void Sample(std::string_view name, std::initializer_list<MetricLabel> labels, std::uint64_t value);

  const std::string& Text() const { return text_; }

 private:
  void Head(std::string_view name, std::initializer_list<MetricLabel> labels);

  std::string text_;
};

// A number as the format writes it: shortest round-trip form, +Inf for
// infinity.
std::string MetricNumber(double value);

}  // namespace host
