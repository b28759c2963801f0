#include "host/Operations.h"

#include "host/RequestName.h"

#include <algorithm>
#include <array>
#include <string>

#include "platform/Text.h"

namespace host {
namespace {

constexpr std::array<std::string_view, kOperationCount> kNames = {
    "REQ_CALLBACK_AVAILABILITY",
    "REQ_WEB_CALLBACK",
    "REQ_WEBCHAT_MAIN",
    "REQ_STAT_PAGE",
    "REQ_JS_START",
    "REQ_DELTA_CHAT",
    "REQ_ADD_TO_CHAT",
    "REQ_NOTIFY_TYPING_CHAT",
    "REQ_HANG_UP",
    "REQ_CALLME",
    "REQ_VXML_INITIALIZE",
    "REQ_VXML_ENQUEUE",
    "REQ_VXML_QUERYROUTINGINFO",
    "REQ_VXML_SETCONTACTDATA",
    "REQ_VXML_TERMINATE",
    "REQ_VXML_GETTRANSITNUMBER",
    "REQ_VXML_RELEASETRANSITNUMBER",
    "REQ_VXML_QUERYQUEUESTATISTICS",
    "REQ_VXML_CREATECALLBACK",
    "REQ_VXML_DELETECALLBACK",
    "REQ_VXML_SETDISPLAY",
    "REQ_VXML_DEQUEUE",
    "REQ_VXML_GETCONTACTDATA",
    "REQ_VXML_QUERYCALLSTATUS",
    "REQ_VXML_QUERYAGENTSTATUS",
    "REQ_VXML_QUERYSYSTEMSTATUS",
    "REQ_VXML_SETBUSINESSUNIT",
    "REQ_VXML_GETBUSINESSUNIT",
    "REQ_HEARTBEAT",
    "other",
};

// The module cuts the decoded name to this many bytes.
constexpr std::size_t kNameLimit = 32;

// The first operation whose name the text contains, as the module's
// dispatcher picks it.
constexpr std::uint8_t OperationContainedIn(std::string_view decoded) {
  for (std::uint8_t operation = 0; operation < kOtherOperation; ++operation) {
    if (decoded.find(kNames[operation]) != std::string_view::npos) return operation;
  }
  return kOtherOperation;
}

constexpr auto kOperationOfExactName = [] {
  std::array<std::uint8_t, kOperationCount> operations{};
  for (std::uint8_t operation = 0; operation < kOperationCount; ++operation) {
    operations[operation] = OperationContainedIn(kNames[operation]);
  }
  return operations;
}();

}  // namespace

std::string_view OperationName(std::uint8_t operation) {
  return kNames[operation < kOperationCount ? operation : kOtherOperation];
}

std::uint8_t OperationOf(std::string_view parameters) noexcept {
  // Decoded as the module's dispatcher decodes it, and cut where it cuts;
  // three bytes of text make at least one byte of name.
  const auto value = RawRequestValue(parameters).substr(0, 3 * kNameLimit);
  thread_local std::string name;  // its room is kept from one request to the next
  text::PercentDecode(value, text::kFormValue, name);
  const std::string_view decoded(name.data(), std::min(name.size(), kNameLimit));
  // Nearly every request names one operation exactly: its answer is known.
  for (std::uint8_t operation = 0; operation < kOtherOperation; ++operation) {
    if (decoded == kNames[operation]) return kOperationOfExactName[operation];
  }
  return OperationContainedIn(decoded);
}

}  // namespace host
