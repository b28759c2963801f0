// Finding the placeholders of a template and checking a VoiceXML document's
// form, with the line of each for the report.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace check {

struct PlaceholderUse {
  std::string name;      // as written, "<WC...>"
  std::size_t line = 0;  // of its first use
};

struct PlaceholderScan {
  std::vector<PlaceholderUse> uses;  // each name once, in order of first use
  std::size_t notListed = 0;         // further names beyond kMaxListed
};

// A file of garbage may hold any number of made-up names; the report lists
// this many and counts the rest.
inline constexpr std::size_t kMaxListed = 32;

// Every "<WC" + letters, digits or '_' + ">" of text: what the module's
// placeholder replacement would act on, or leave in the page when no handler
// knows the name.
PlaceholderScan FindPlaceholders(std::string_view text);

// The 1-based line of offset in text.
std::size_t LineOf(std::string_view text, std::size_t offset);

struct XmlProblem {
  std::size_t line = 0;
  std::string message;
};

// The first reason document is not well-formed XML, or nothing. No file and
// no network is read: external entities and DTDs stay unloaded.
std::optional<XmlProblem> FindXmlProblem(std::string_view document);

}  // namespace check
