// The names that tie the site's templates to the code: the page keys of
// [WEBSETTINGS] whose templates the handlers load, and the placeholders that
// page code fills. Each is listed once here; handlers use the constants, and
// the configuration checker reads the lists, so a template it passes is one
// the module loads and fills completely. The voice document's names are in
// VoicePages.h.
#pragma once

#include <string_view>

// X(constant, text)
#define QUORVIX_PAGE_KEYS(X)                              \
  X(kGeneralError, "GeneralError")                        \
  X(kCaptureCallData, "CaptureCallData")                  \
  X(kChatFrame, "ChatFrame")                              \
  X(kJSChatControl, "JSChatControl")                      \
  X(kJSDispatch, "JSDispatch")                            \
  X(kTransferredTo, "TransferredTo")                      \
  X(kAgentDisconnect, "AgentDisconnect")                  \
  X(kCallMeConfirm, "CallMeConfirm")                      \
  X(kChatSummary, "ChatSummary")                          \
  X(kWebCallbackRejected, "WebCallbackRejected")          \
  X(kWebCallbackNotAvailable, "WebCallbackNotAvailable")  \
  X(kWebCallbackConfirmed, "WebCallbackConfirmed")        \
  X(kWebCallback, "WebCallback")

#define QUORVIX_PAGE_PLACEHOLDERS(X)         \
  X(kServlet, "<WCSERVLET>")                 \
  X(kLanguage, "<WCLANGUAGE>")               \
  X(kErrorCode, "<WCERRORCODE>")             \
  X(kBusinessUnitName, "<WCBUSINESSUNITNAME>") \
  X(kSessionId, "<WCSESSIONID>")             \
  X(kChatData, "<WCCHATDATA>")               \
  X(kPushUrl, "<WCPUSHURL>")                 \
  X(kIndex, "<WCINDEX>")                     \
  X(kAgentKey, "<WCAGENTKEY>")               \
  X(kWhoIsTyping, "<WCWHOISTYPING>")         \
  X(kTransferTo, "<WCTRANSFERTO>")           \
  X(kCustomerName, "<WCCUSTOMERNAME>")       \
  X(kCaption, "<WCCAPTION>")                 \
  X(kChatSummary, "<WCCHATSUMMARY>")         \
  X(kPhoneNumber, "<WCPHONENUMBER>")         \
  X(kCallTypeMessage, "<WCCALLTYPEMSG>")     \
  X(kCallTypeList, "<WCCALLTYPELIST>")       \
  X(kCallbackErrorMessage, "<WCCALLBACKERRMSG>")

#define QUORVIX_NAME_CONSTANT(name, text) inline constexpr char name[] = text;
#define QUORVIX_NAME_ROW(name, text) std::string_view(text),

// Page keys: a [WEBSETTINGS] key names the page's template file.
namespace page_key {
QUORVIX_PAGE_KEYS(QUORVIX_NAME_CONSTANT)
inline constexpr std::string_view kAll[] = {QUORVIX_PAGE_KEYS(QUORVIX_NAME_ROW)};
}  // namespace page_key

// Placeholders of the HTML pages; every one is filled by some handler.
namespace placeholder {
QUORVIX_PAGE_PLACEHOLDERS(QUORVIX_NAME_CONSTANT)
inline constexpr std::string_view kAll[] = {QUORVIX_PAGE_PLACEHOLDERS(QUORVIX_NAME_ROW)};
}  // namespace placeholder

#undef QUORVIX_NAME_CONSTANT
#undef QUORVIX_NAME_ROW
