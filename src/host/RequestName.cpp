#include "host/RequestName.h"

#include "platform/Text.h"

namespace host {
namespace {

constexpr std::string_view kName = "varUserRequest=";
constexpr std::size_t kRequestNameLimit = 32;

std::string_view ValueAt(std::string_view text, std::size_t name_at) {
  const auto rest = text.substr(name_at + kName.size());
  return rest.substr(0, rest.find_first_of("?&\r"));
}

}  // namespace

std::string_view ModuleParameters(std::string_view method, std::string_view query, std::string_view body) {
  if (method != "POST") return query;
  const auto last = body.find_last_not_of(" \r\n");
  return last == std::string_view::npos ? query : body.substr(0, last + 1);
}

std::string_view RawRequestValue(std::string_view parameters) {
  const auto at = text::FindIgnoringCase(parameters, kName, 0);
  return at == std::string_view::npos ? std::string_view() : ValueAt(parameters, at);
}

std::string_view RequestName(std::string_view parameters) {
  return RawRequestValue(parameters).substr(0, kRequestNameLimit);
}

bool MayNameHeartbeat(std::string_view text) {
  for (auto at = text::FindIgnoringCase(text, kName, 0); at != std::string_view::npos;
       at = text::FindIgnoringCase(text, kName, at + 1)) {
    const auto value = ValueAt(text, at);
    if (value.find('%') != std::string_view::npos) return true;
    // '+' decodes to a blank, which the name has none of; the module matches
    // it with letter case, this errs towards yes.
    if (text::FindIgnoringCase(value, "REQ_HEARTBEAT", 0) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace host
