// The numbers both ends of the back-end protocol agree on: message types and
// the return and error codes that pages and handlers act on.
#pragma once

#include <string>

namespace protocol {

// Request types; the back end answers type t with type t + 1.
enum class MessageType : int {
  kChatStart = 20,
  kChatPost = 40,
  kChatPoll = 50,
  kChatHangUp = 70,
  kCallMe = 80,
  kDiagReport = 90,
  kCallbackAvailability = 100,
  kWebCallback = 110,
  kVoiceInitialize = 120,
  kVoiceEnqueue = 130,
  kVoiceQueryRoutingInfo = 150,
  kVoiceSetContactData = 160,
  kVoiceTerminate = 170,
  kVoiceGetTransitNumber = 180,
  kVoiceReleaseTransitNumber = 190,
  kVoiceQueryQueueStatistics = 200,
  kVoiceCreateCallback = 210,
  kVoiceDeleteCallback = 220,
  kVoiceSetDisplay = 230,
  kVoiceQueryAgentStatus = 240,
  kVoiceDequeue = 250,
  kVoiceGetContactData = 260,
  kVoiceQueryCallStatus = 270,
  kVoiceQuerySystemStatus = 280,
  kVoiceSetBusinessUnit = 290,
  kVoiceGetBusinessUnit = 300,
  kChatTyping = 310,
  kHeartbeat = 1000,
};

constexpr int Number(MessageType type) { return static_cast<int>(type); }
constexpr int ResponseNumber(MessageType type) { return Number(type) + 1; }

// Codes in field 0 of a response, and the error codes pages show through
// <WCERRORCODE>; both are four decimal digits on the wire and on the page.
enum class Code : int {
  kSuccess = 0,
  kNoConnection = 1002,      // no connection could be had from the pool
  kExchangeFailed = 1003,    // sending or receiving failed
  kNoTemplate = 1006,        // a page template could not be loaded
  kNoJavaScript = 1008,      // the browser said it has no script support
  kUnknownRequest = 1010,    // the request names no known operation
  kForbiddenSymbol = 1011,   // the back end sent a double quote where the page cannot take one
  kWebBuildFailed = 1012,    // a web operation's request could not be built
  kVoiceBuildFailed = 1014,  // a voice operation's request could not be built
  // What the back end answers voice-browser requests that name nothing it knows.
  kUnknownCall = 3020,           // no call has that identifier
  kUnknownQueue = 3021,          // no such queue (or not in that business unit)
  kUnknownAgent = 3022,          // no agent has that identifier or device
  kUnknownCallback = 3023,       // no callback has that identifier
  kCallNotQueued = 3024,         // the call waits in no queue
  kNoTransitNumber = 3025,       // every transit number is in use
  kUnknownKey = 3026,            // the call has no contact data under that key
  kContactCenterFull = 3027,     // no room for another call or callback
  kAgentDisconnected = 2001, // the agent left the chat
  kTransferred = 2005,       // the chat moved to another agent
  kWrongPassword = 3001,     // the back end refused the password
  kUnknownType = 3002,       // the back end knows no such request type
  kReportRefused = 3003,     // the back end would not take a diagnostics report
  kMalformedRequest = 3004,  // the back end could not read the request
  kUnknownSession = 3010,    // no chat session has that identifier
  kTranscriptFull = 3011,    // the chat's transcript reached its limit
  kNoPhoneNumber = 3012,     // a call-me request without a number
  // What the back end answers the two callback requests, beside kSuccess (the
  // form is shown, or the callback is confirmed).
  kCallbackNotAvailable = 10,    // outside the unit's opening hours
  kCallbackRejected = 11,        // the back end will not call that number; field 1 says why
  kCallbackAlreadyPending = 12,  // the number already waits for a callback; confirmed again
  kCallbackSwitchedOff = 13,     // the unit's callback service is off
  kUnknownBusinessUnit = 3028,   // beside the voice side's 3020-3027
  kUnknownCallType = 3029,
};

constexpr int Number(Code code) { return static_cast<int>(code); }
inline std::string Text(Code code) { return std::to_string(Number(code)); }

}  // namespace protocol
