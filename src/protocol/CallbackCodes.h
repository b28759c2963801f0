// Return codes of the two callback requests, shared by the front end (which
// picks its page by them) and vekacs-sim (which answers with them).
#pragma once

#include <string>

namespace protocol {

enum class CallbackCode : int {
  kAvailable = 0,             // availability: the form; callback: confirmed
  kNotAvailable = 10,         // outside the unit's opening hours
  kRejected = 11,             // the back end will not call that number; field 1 says why
  kAlreadyPending = 12,       // the number already waits for a callback; confirmed again
  kSwitchedOff = 13,          // the unit's callback service is off
  kUnknownBusinessUnit = 3028,  // beside the voice side's 3020-3027
  kUnknownCallType = 3029,
};

constexpr int Number(CallbackCode code) { return static_cast<int>(code); }
inline std::string Text(CallbackCode code) { return std::to_string(Number(code)); }

}  // namespace protocol
