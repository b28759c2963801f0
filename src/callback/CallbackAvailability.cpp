// Callback availability: the back end says whether a business unit takes
// callbacks now, and with which call types; the visitor gets the form or the
// not-available page.
#include "callback/CallTypes.h"
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/PageNames.h"
#include "pages/Placeholders.h"
#include "protocol/Codes.h"

using protocol::Code;

int CRAVOExtension::REQ_WEB_CALLBACK_AVAILABILITY(CHttpServerContext* ctx, const std::string& business_unit,
                                                  const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_WEB_CALLBACK_AVAILABILITY: Entered\n");
  diag::EntryExitRecords records("CRAVOExtension::REQ_WEB_CALLBACK_AVAILABILITY entering",
                                 "CRAVOExtension::REQ_WEB_CALLBACK_AVAILABILITY leaving");
  PendingRequest request(protocol::MessageType::kCallbackAvailability, {"0000", business_unit},
                         m_settings.callbackUsesSSL);
  return SendCallbackRequest(ctx, std::move(request.Keep(language)), "REQ_WEB_CALLBACK_AVAILABILITY", records);
}

int CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                                   const std::string& response, const std::string&) {
  const std::string& language = info->language;
  diag::TraceLine("CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY: Entered\n");
  diag::EntryExitRecords records({}, "CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY leaving");
  if (!ok) {
    diag::TraceLine("CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY: GetVEKACSResponse failed\n");
    OutputErrorPage(protocol::Text(protocol::Code::kExchangeFailed), "COMMUNICATE_WITH_VEKACS", language, ctx);
    records.LeaveAs("CRAVOExtension::REQ_WEB_CALLBACK_AVAILABILITY leaving");
    return 0;
  }
  const BackendAnswer answer = ReadBackendAnswer(ok, response);
  std::string page;
  if (answer.code == protocol::Number(Code::kSuccess)) {
    if (!LoadPageOrErrorPage(page_key::kWebCallback, page, language, ctx,
                             "CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY: Cannot retrieve capture callback webpage",
                             "REQ_CALLBACK_DATA_PG")) {
      return 0;
    }
    const std::string message = ResponseField(response, 1);
    // Escaped like the options: a template may put the message into an
    // attribute, and the browser gives back the same bytes.
    ReplacePlaceholder(page, placeholder::kCallTypeMessage, HtmlEscaped(message));
    callback::CallTypeMap call_types;
    callback::DecodeCallTypeMessage(message, call_types);
    ReplacePlaceholder(page, placeholder::kCallTypeList, callback::CallTypeOptions(call_types));
    OutputPage(page, language, ctx, false);
    diag::TraceLine("CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY: Exiting successfully\n");
    return 0;
  }
  if (answer.code == protocol::Number(Code::kCallbackNotAvailable) ||
      answer.code == protocol::Number(Code::kCallbackSwitchedOff)) {
    if (!GetLangSpecificWebPage(page_key::kWebCallbackNotAvailable, page, language, 0)) {
      diag::TraceLine("CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY: Cannot retrieve service down webpage\n");
      OutputErrorPage(answer.codeText, "CANNOT_ACCESS_WEB_CALLBACK_NOTAVAILABLE_PG", language, ctx);
      return 0;
    }
    OutputPage(page, language, ctx, false);
    diag::TraceLine("CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY: Exiting successfully\n");
    return 0;
  }
  diag::TraceLine("CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY: VEKA returned error code %d\n", answer.code);
  OutputErrorPage(answer.codeText, "REQ_WEB_CALLBACK", language, ctx);
  return 0;
}
