#include "check/Findings.h"

#include <cstdio>

#include "platform/Text.h"

namespace check {
namespace {

// Settings and templates are single-byte text of any code page: bytes from
// 0x80 are written as the characters of the same number, so the output is
// always valid JSON.
void WriteJsonString(std::ostream& out, const std::string& text) {
  out << '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out << '\\' << c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", byte);
      out << escape;
    } else {
      out << c;
    }
  }
  out << '"';
}

void WriteJsonList(std::ostream& out, const std::vector<std::string>& items) {
  out << '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out << ", ";
    WriteJsonString(out, items[i]);
  }
  out << ']';
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) text += (i == 0 ? "" : ", ") + items[i];
  return text;
}

}  // namespace

void WriteText(std::ostream& out, const Report& report) {
  for (const auto& finding : report.findings) {
    out << text::EscapingControls(finding.file) << ':' << finding.line << ": "
        << text::EscapingControls(finding.message) << " [" << finding.kind << "]\n";
  }
}

void WriteSummary(std::ostream& out, const Report& report) {
  const auto& backend = report.backend;
  out << "quorvix-check: back end " << text::EscapingControls(backend.address.empty() ? "(none)" : backend.address)
      << ", port " << text::EscapingControls(backend.port) << " ("
      << (backend.plainServices.empty() ? "unused" : Joined(backend.plainServices)) << "), TLS port "
      << text::EscapingControls(backend.tlsPort) << " ("
      << (backend.tlsServices.empty() ? "unused" : Joined(backend.tlsServices)) << "); "
      << report.findings.size() << (report.findings.size() == 1 ? " finding\n" : " findings\n");
}

void WriteJson(std::ostream& out, const Report& report) {
  const auto& backend = report.backend;
  out << "{\n  \"backend\": {\"address\": ";
  WriteJsonString(out, backend.address);
  out << ", \"port\": ";
  WriteJsonString(out, backend.port);
  out << ", \"tlsPort\": ";
  WriteJsonString(out, backend.tlsPort);
  out << ", \"plainServices\": ";
  WriteJsonList(out, backend.plainServices);
  out << ", \"tlsServices\": ";
  WriteJsonList(out, backend.tlsServices);
  out << "},\n  \"findings\": [";
  for (std::size_t i = 0; i < report.findings.size(); ++i) {
    const auto& finding = report.findings[i];
    out << (i == 0 ? "\n    " : ",\n    ") << "{\"file\": ";
    WriteJsonString(out, finding.file);
    out << ", \"line\": " << finding.line << ", \"kind\": ";
    WriteJsonString(out, finding.kind);
    out << ", \"message\": ";
    WriteJsonString(out, finding.message);
    out << '}';
  }
  out << (report.findings.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace check
