// Call me: during a chat the visitor asks the agent to call a number.
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/PageNames.h"
#include "pages/Placeholders.h"

int CRAVOExtension::REQ_CALLME_EVENT(CHttpServerContext* ctx, const std::string& session_id,
                                     const std::string& agent_key, const std::string& phone_number,
                                     const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_CALLME_EVENT: Entered, sessionID=%s\n", session_id.c_str());
  diag::EntryExitRecords records("CRAVOExtension::REQ_CALLME_EVENT entering",
                                 "CRAVOExtension::REQ_CALLME_EVENT leaving");
  diag::AddDiag(diag::kLevelInfo, "REQ_CALLME_EVENT for " + session_id, "ISAPI", __LINE__);
  // The call-me of a chat travels with the chat's setting, not the callback's.
  PendingRequest request(protocol::MessageType::kCallMe, {session_id, agent_key, phone_number}, m_settings.chatUsesSSL);
  return SendPendingOrErrorPage(ctx, std::move(request.Keep(language, session_id)),
                                {"REQ_CALLME_EVENT", "CRAVOExtension::REQ_CALLME_EVENT: Cannot build VEKA message",
                                 "CRAVOExtension::REQ_CALLME_EVENT: CommunicateWithVEKACS failed", nullptr},
                                records);
}

int CRAVOExtension::RESP_CALLME_EVENT(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                      const std::string& response, const std::string&) {
  const std::string& language = info->language;
  diag::TraceLine("CRAVOExtension::RESP_CALLME_EVENT: Entered\n");
  diag::EntryExitRecords records({}, "CRAVOExtension::REQ_CALLME_EVENT leaving");
  static constexpr ResponsePageTexts kTexts{"RESP_CALLME_EVENT", "REQ_CALLME_EVENT",
                                            "CRAVOExtension::REQ_CALLME_EVENT leaving",
                                            "CRAVOExtension::REQ_CALLME_EVENT leaving", "", true};
  if (AnswerResponseFailure(ok, response, kTexts, language, ctx, records)) return 0;
  std::string page;
  if (!LoadPageOrErrorPage(page_key::kCallMeConfirm, page, language, ctx,
                           "CRAVOExtension::RESP_CALLME_EVENT: Cannot retrieve confirmation webpage",
                           "REQ_CALLME_EVENT")) {
    records.LeaveAs("CRAVOExtension::RESP_CALLME_EVENT leaving");
    return 0;
  }
  ReplacePlaceholder(page, placeholder::kSessionId, HtmlEscaped(info->sessionId));
  ReplacePlaceholder(page, placeholder::kCustomerName, EscapeKeepingLineBreaks(ResponseField(response, 1)));
  ReplacePlaceholder(page, placeholder::kPhoneNumber, EscapeKeepingLineBreaks(ResponseField(response, 2)));
  OutputPage(page, language, ctx, false);
  diag::TraceLine("CRAVOExtension::RESP_CALLME_EVENT: Exiting successfully\n");
  return 0;
}
