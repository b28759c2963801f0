// Ending a chat: the back end closes the session and sends the transcript.
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/PageNames.h"
#include "pages/Placeholders.h"

int CRAVOExtension::REQ_HANG_UP(CHttpServerContext* ctx, const std::string& session_id,
                                const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_HANG_UP: Entered, sessionID=%s\n", session_id.c_str());
  diag::EntryExitRecords records("CRAVOExtension::REQ_HANG_UP entering", "CRAVOExtension::REQ_HANG_UP leaving");
  diag::AddDiag(diag::kLevelInfo, "REQ_HANG_UP for " + session_id, "ISAPI", __LINE__);
  PendingRequest request(protocol::MessageType::kChatHangUp, {session_id}, m_settings.chatUsesSSL);
  return SendPendingOrErrorPage(ctx, std::move(request.Keep(language, session_id)),
                                {"REQ_HANG_UP", "CRAVOExtension::REQ_HANG_UP: Build hangup message failed",
                                 "CRAVOExtension::REQ_HANG_UP: Communicate with VEKAS failed", nullptr},
                                records);
}

int CRAVOExtension::RESP_HANG_UP(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                 const std::string& response, const std::string&) {
  const std::string& language = info->language;
  diag::TraceLine("CRAVOExtension::RESP_HANG_UP: Entered\n");
  diag::EntryExitRecords records({}, "CRAVOExtension::RESP_HANG_UP leaving");
  static constexpr ResponsePageTexts kTexts{"RESP_HANG_UP", "REQ_HANG_UP", "CRAVOExtension::REQ_HANG_UP leaving",
                                            "CRAVOExtension::REQ_HANG_UP leaving", " outputting error page", true};
  if (AnswerResponseFailure(ok, response, kTexts, language, ctx, records)) return 0;
  std::string page;
  if (!LoadPageOrErrorPage(page_key::kChatSummary, page, language, ctx,
                           "CRAVOExtension::RESP_HANG_UP: Cannot retrieve chat summary webpage", "REQ_HANG_UP")) {
    return 0;
  }
  ReplacePlaceholder(page, placeholder::kSessionId, HtmlEscaped(info->sessionId));
  ReplacePlaceholder(page, placeholder::kCustomerName, EscapeKeepingLineBreaks(ResponseField(response, 2)));
  ReplacePlaceholder(page, placeholder::kCaption, EscapeKeepingLineBreaks(ResponseField(response, 3)));
  ReplacePlaceholder(page, placeholder::kChatSummary, EscapeKeepingLineBreaks(ResponseField(response, 4)));
  OutputPage(page, language, ctx, false);
  diag::TraceLine("CRAVOExtension::RESP_HANG_UP: exiting successfully\n");
  return 0;
}
