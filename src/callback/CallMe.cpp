// Call me: during a chat the visitor asks the agent to call a number.
#include "chat/ChatRequests.h"
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/Placeholders.h"

std::string EscapeKeepingLineBreaks(std::string text);

int CRAVOExtension::REQ_CALLME_EVENT(CHttpServerContext* ctx, const std::string& session_id,
                                     const std::string& agent_key, const std::string& phone_number,
                                     const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_CALLME_EVENT: Entered, sessionID=%s\n", session_id.c_str());
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_CALLME_EVENT entering", "ISAPI", 0);
  diag::AddDiag(diag::kLevelInfo, "REQ_CALLME_EVENT for " + session_id, "ISAPI", __LINE__);
  MessageBody body;
  AppendMessageField(body, session_id);
  AppendMessageField(body, agent_key);
  AppendMessageField(body, phone_number);
  AsyncRequestInfo texts;
  texts.text1 = language;
  texts.text2 = session_id;
  std::string error;
  switch (StartPendingRequest(*this, ctx, 80, body, 3, std::move(texts), m_settings.chatUsesSSL, error)) {
    case PendingStart::kPending:
      return kPendingResult;
    case PendingStart::kBuildFailed:
      diag::TraceLine("CRAVOExtension::REQ_CALLME_EVENT: Cannot build VEKA message\n");
      OutputErrorPage("1012", "REQ_CALLME_EVENT", language, ctx);
      break;
    case PendingStart::kExchangeFailed:
      diag::TraceLine("CRAVOExtension::REQ_CALLME_EVENT: CommunicateWithVEKACS failed\n");
      OutputErrorPage(error, "REQ_CALLME_EVENT", language, ctx);
      break;
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_CALLME_EVENT leaving", "ISAPI", 0);
  return 0;
}

int CRAVOExtension::RESP_CALLME_EVENT(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                      const std::string& response, const std::string&) {
  const std::string& language = info->text1;
  diag::TraceLine("CRAVOExtension::RESP_CALLME_EVENT: Entered\n");
  static constexpr ResponsePageTexts kTexts{"RESP_CALLME_EVENT", "REQ_CALLME_EVENT",
                                            "CRAVOExtension::REQ_CALLME_EVENT leaving",
                                            "CRAVOExtension::REQ_CALLME_EVENT leaving", "", true};
  if (AnswerResponseFailure(ok, response, kTexts, language, ctx)) return 0;
  std::string page;
  if (!GetLangSpecificWebPage("CallMeConfirm", page, language, 0)) {
    diag::TraceLine("CRAVOExtension::RESP_CALLME_EVENT: Cannot retrieve confirmation webpage\n");
    OutputErrorPage("1006", "REQ_CALLME_EVENT", language, ctx);
    diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::RESP_CALLME_EVENT leaving", "ISAPI", 0);
    return 0;
  }
  std::string session_id = info->text2;
  EncodeHTMLEscape(session_id);
  ReplacePlaceholder(page, "<WCSESSIONID>", session_id);
  ReplacePlaceholder(page, "<WCCUSTOMERNAME>", EscapeKeepingLineBreaks(ResponseField(response, 1)));
  ReplacePlaceholder(page, "<WCPHONENUMBER>", EscapeKeepingLineBreaks(ResponseField(response, 2)));
  OutputPage(page, language, ctx, false);
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_CALLME_EVENT leaving", "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::RESP_CALLME_EVENT: Exiting successfully\n");
  return 0;
}
