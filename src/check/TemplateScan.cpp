#include "check/TemplateScan.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <climits>
#include <unordered_set>

namespace check {
namespace {

bool IsNameByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

std::size_t LineOf(std::string_view text, std::size_t offset) {
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + std::min(offset, text.size()), '\n'));
}

PlaceholderScan FindPlaceholders(std::string_view text) {
  PlaceholderScan scan;
  std::unordered_set<std::string_view> seen;
  std::size_t line = 1;
  std::size_t counted_to = 0;  // line is the line of this offset
  for (std::size_t at = text.find("<WC"); at != std::string_view::npos; at = text.find("<WC", at + 1)) {
    std::size_t end = at + 3;
    while (end < text.size() && IsNameByte(text[end])) ++end;
    if (end == at + 3 || end >= text.size() || text[end] != '>') continue;
    const auto name = text.substr(at, end + 1 - at);
    if (!seen.insert(name).second) continue;
    line += static_cast<std::size_t>(std::count(text.begin() + counted_to, text.begin() + at, '\n'));
    counted_to = at;
    if (scan.uses.size() < kMaxListed) {
      scan.uses.push_back({std::string(name), line});
    } else {
      ++scan.notListed;
    }
  }
  return scan;
}

std::optional<XmlProblem> FindXmlProblem(std::string_view document) {
  if (document.size() > static_cast<std::size_t>(INT_MAX)) return XmlProblem{1, "too large to be read"};
  xmlParserCtxtPtr context = xmlNewParserCtxt();
  if (context == nullptr) return XmlProblem{1, "out of memory"};
  xmlDocPtr parsed = xmlCtxtReadMemory(context, document.data(), static_cast<int>(document.size()), nullptr,
                                       nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  std::optional<XmlProblem> problem;
  if (parsed == nullptr || context->wellFormed == 0) {
    const xmlError* error = xmlCtxtGetLastError(context);
    problem = XmlProblem{1, "not well-formed"};
    if (error != nullptr) {
      problem->line = error->line > 0 ? static_cast<std::size_t>(error->line) : 1;
      if (error->message != nullptr) {
        problem->message = error->message;
        while (!problem->message.empty() && (problem->message.back() == '\n' || problem->message.back() == ' ')) {
          problem->message.pop_back();
        }
      }
    }
  }
  xmlFreeDoc(parsed);
  xmlFreeParserCtxt(context);
  return problem;
}

}  // namespace check
