// A request's query string or form body, as the module reads it: the common
// values every request carries, the dispatch row they choose and that row's
// arguments, every known variable, the call data and URL decoding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "extension/Dispatch.h"
#include "extension/RequestVariables.h"

namespace {

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (auto& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return lower;
}

// Language is used inside a template path, so nothing in it may step out of
// the template folder or into markup.
bool SafeInPath(std::string_view language) {
  return !language.empty() && language.find_first_of("./\\<>\"'&") == std::string_view::npos;
}

void CheckDecoding(std::string_view text) {
  std::string decoded(text);
  const bool changed = URLDecode(decoded);
  FUZZ_REQUIRE(decoded.size() <= text.size(), "URL decoding grew the text");
  FUZZ_REQUIRE(changed || decoded == text, "URL decoding changed the text but said it did not");
  if (text.find_first_of("%+") == std::string_view::npos) {
    FUZZ_REQUIRE(!changed, "URL decoding found something to decode in a plain text");
  }
}

void CheckVariables(std::string_view text) {
  const std::string lower = AsciiLower(text);
  for (const auto name : kKnownVariableNames) {
    const std::string key = std::string(name) + "=";
    std::string value = "stale";
    const bool found = ExtractWebVar(text, key, value);
    FUZZ_REQUIRE(found == (lower.find(AsciiLower(key)) != std::string::npos),
                 "a variable was found where its name is not, or missed where it is");
    FUZZ_REQUIRE(found || value.empty(), "a missing variable left a value");
    FUZZ_REQUIRE(value.size() <= text.size(), "a variable's value is longer than the request");
  }
  std::string call_data = "stale";
  GetRelevantParams(text, call_data);
  FUZZ_REQUIRE(call_data.size() <= text.size() + 1, "call data is longer than the request");
}

void CheckDispatch(std::string_view text) {
  const CommonRequestValues common = ExtractCommonValues(text, "en");
  FUZZ_REQUIRE(common.requestName.size() <= 32, "request name not cut to 32");
  FUZZ_REQUIRE(common.businessUnit.size() <= 32, "business unit not cut to 32");
  FUZZ_REQUIRE(common.language.size() <= 50, "language not cut to 50");
  FUZZ_REQUIRE(SafeInPath(common.language), "language unsafe in a template path");
  if (const DispatchRow* row = FindDispatchRow(common.requestName)) {
    const auto arguments = CollectHandlerArguments(*row, text, common);
    FUZZ_REQUIRE(arguments.size() == row->arguments.size(), "a handler got the wrong number of arguments");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckDecoding(text);
  CheckVariables(text);
  CheckDispatch(text);
  return 0;
}
