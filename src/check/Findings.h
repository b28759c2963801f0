// What the configuration checker found: one finding per problem, each at the
// file and line an operator has to edit, and what it prints.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace check {

struct Finding {
  std::string file;
  std::size_t line = 0;  // 1-based
  std::string kind;      // a stable word for tools, e.g. "unknown-placeholder"
  std::string message;
};

// Where the module will reach the back end, as the settings say.
struct BackendSummary {
  std::string address;
  std::string port;
  std::string tlsPort;
  std::vector<std::string> plainServices;  // chat, callback, voice
  std::vector<std::string> tlsServices;
};

struct Report {
  std::vector<Finding> findings;
  BackendSummary backend;

  void Add(std::string file, std::size_t line, std::string kind, std::string message) {
    findings.push_back({std::move(file), line, std::move(kind), std::move(message)});
  }
};

// One line per finding: "FILE:LINE: message [kind]". Bytes from files are
// written with their control characters escaped.
void WriteText(std::ostream& out, const Report& report);
// The back end and the count of findings, in one line.
void WriteSummary(std::ostream& out, const Report& report);
// The whole report as one JSON object: {"backend": {...}, "findings": [...]}.
void WriteJson(std::ostream& out, const Report& report);

}  // namespace check
