#include "host/Operations.h"

#include "host/RequestName.h"

#include <array>

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

// The dispatcher turns every + into a space before it decodes escapes.
char Unplussed(char c) { return c == '+' ? ' ' : c; }

// Its reading of a hex digit, garbage in, garbage out.
int DispatcherHexValue(char c) {
  const auto byte = static_cast<unsigned char>(Unplussed(c));
  return byte >= 'A' ? (byte & ~0x20) - 55 : byte - 48;
}

}  // namespace

std::string_view OperationName(std::uint8_t operation) {
  return kNames[operation < kOperationCount ? operation : kOtherOperation];
}

std::uint8_t OperationOf(std::string_view parameters) noexcept {
  const auto value = RawRequestValue(parameters);
  char name[kNameLimit];
  std::size_t length = 0;
  for (std::size_t i = 0; i < value.size() && length < kNameLimit; ++i) {
    const char c = value[i];
    if (c == '%' && i + 2 < value.size()) {
      const int byte = 16 * DispatcherHexValue(value[i + 1]) + DispatcherHexValue(value[i + 2]);
      name[length++] = static_cast<char>(static_cast<unsigned char>(byte & 0xFF));
      i += 2;
    } else {
      name[length++] = Unplussed(c);
    }
  }
  const std::string_view decoded(name, length);
  for (std::uint8_t operation = 0; operation < kOtherOperation; ++operation) {
    if (decoded.find(kNames[operation]) != std::string_view::npos) return operation;
  }
  return kOtherOperation;
}

}  // namespace host
