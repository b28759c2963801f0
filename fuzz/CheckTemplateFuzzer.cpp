// A template or voice document as quorvix-check reads it: the placeholder
// scan and the well-formedness check take any bytes, and what they report
// points into the input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "check/TemplateScan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t lines = check::LineOf(text, text.size());
  const auto scan = check::FindPlaceholders(text);
  FUZZ_REQUIRE(scan.uses.size() <= check::kMaxListed, "more names listed than the bound");
  std::size_t previous_line = 1;
  for (const auto& use : scan.uses) {
    FUZZ_REQUIRE(use.name.starts_with("<WC") && use.name.ends_with(">") && use.name.size() > 4,
                 "a name that is no placeholder");
    FUZZ_REQUIRE(text.find(use.name) != std::string_view::npos, "a name that is not in the text");
    FUZZ_REQUIRE(use.line >= previous_line && use.line <= lines, "a line out of order or past the end");
    FUZZ_REQUIRE(check::LineOf(text, text.find(use.name)) == use.line, "a name reported at the wrong line");
    previous_line = use.line;
  }
  if (const auto problem = check::FindXmlProblem(text)) {
    FUZZ_REQUIRE(problem->line >= 1, "a problem without a line");
  }
  return 0;
}
