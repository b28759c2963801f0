// The call-type message a back end sends with its callback availability: the
// decoder, the name lookup and the <OPTION> list the form shows. Whatever the
// back end sends, the list holds one option per distinct id, exactly one of
// them selected, and no markup of the back end's.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "callback/CallTypes.h"

namespace {

std::size_t Count(std::string_view text, std::string_view what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  callback::CallTypeMap map;
  callback::DecodeCallTypeMessage(message, map);

  const auto walk = map.Walk();
  FUZZ_REQUIRE(walk.size() == map.size(), "the walk and the size disagree");
  std::set<std::string> ids;
  for (const auto& [id, entry] : walk) {
    FUZZ_REQUIRE(!id.empty(), "a call type without an id");
    FUZZ_REQUIRE(ids.insert(id).second, "an id twice in the walk");
    FUZZ_REQUIRE(id.find(callback::kRecordSeparator) == std::string::npos &&
                     id.find(callback::kPartSeparator) == std::string::npos,
                 "a separator inside an id");
    const std::string name = callback::ResolveCallTypeName(entry);
    FUZZ_REQUIRE(name.find(callback::kPartSeparator) == std::string::npos, "a separator inside a name");
  }

  const std::string options = callback::CallTypeOptions(map);
  FUZZ_REQUIRE(Count(options, "<OPTION") == map.size(), "not one option per call type");
  FUZZ_REQUIRE(map.empty() || Count(options, "' selected>") == 1, "not exactly one option selected");
  // Everything between the list's own tags is escaped: no tag of the back end's.
  FUZZ_REQUIRE(Count(options, "<") == 2 * map.size(), "markup from the back end in the option list");
  return 0;
}
