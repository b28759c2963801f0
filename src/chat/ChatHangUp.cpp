// Ending a chat: the back end closes the session and sends the transcript.
#include "chat/ChatRequests.h"
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/Placeholders.h"

std::string EscapeKeepingLineBreaks(std::string text) {
  // Visitors' angle brackets arrive as &lt; and &gt;, which the escaping
  // keeps; everything else the back end sends is shown as text, except the
  // line breaks of the transcript.
  EncodeHTMLEscape(text);
  ReplacePlaceholder(text, "&lt;BR&gt;", "<BR>");
  return text;
}

int CRAVOExtension::REQ_HANG_UP(CHttpServerContext* ctx, const std::string& session_id,
                                const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_HANG_UP: Entered, sessionID=%s\n", session_id.c_str());
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_HANG_UP entering", "ISAPI", 0);
  diag::AddDiag(diag::kLevelInfo, "REQ_HANG_UP for " + session_id, "ISAPI", __LINE__);
  MessageBody body;
  AppendMessageField(body, session_id);
  AsyncRequestInfo texts;
  texts.text1 = language;
  texts.text2 = session_id;
  std::string error;
  switch (StartPendingRequest(*this, ctx, 70, body, 1, std::move(texts), m_settings.chatUsesSSL, error)) {
    case PendingStart::kPending:
      return kPendingResult;
    case PendingStart::kBuildFailed:
      diag::TraceLine("CRAVOExtension::REQ_HANG_UP: Build hangup message failed\n");
      OutputErrorPage("1012", "REQ_HANG_UP", language, ctx);
      break;
    case PendingStart::kExchangeFailed:
      diag::TraceLine("CRAVOExtension::REQ_HANG_UP: Communicate with VEKAS failed\n");
      OutputErrorPage(error, "REQ_HANG_UP", language, ctx);
      break;
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_HANG_UP leaving", "ISAPI", 0);
  return 0;
}

int CRAVOExtension::RESP_HANG_UP(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                 const std::string& response, const std::string&) {
  const std::string& language = info->text1;
  diag::TraceLine("CRAVOExtension::RESP_HANG_UP: Entered\n");
  static constexpr ResponsePageTexts kTexts{"RESP_HANG_UP", "REQ_HANG_UP", "CRAVOExtension::REQ_HANG_UP leaving",
                                            "CRAVOExtension::REQ_HANG_UP leaving", " outputting error page", true};
  if (AnswerResponseFailure(ok, response, kTexts, language, ctx)) return 0;
  std::string page;
  if (!GetLangSpecificWebPage("ChatSummary", page, language, 0)) {
    diag::TraceLine("CRAVOExtension::RESP_HANG_UP: Cannot retrieve chat summary webpage\n");
    OutputErrorPage("1006", "REQ_HANG_UP", language, ctx);
    diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::RESP_HANG_UP leaving", "ISAPI", 0);
    return 0;
  }
  std::string session_id = info->text2;
  EncodeHTMLEscape(session_id);
  ReplacePlaceholder(page, "<WCSESSIONID>", session_id);
  ReplacePlaceholder(page, "<WCCUSTOMERNAME>", EscapeKeepingLineBreaks(ResponseField(response, 2)));
  ReplacePlaceholder(page, "<WCCAPTION>", EscapeKeepingLineBreaks(ResponseField(response, 3)));
  ReplacePlaceholder(page, "<WCCHATSUMMARY>", EscapeKeepingLineBreaks(ResponseField(response, 4)));
  OutputPage(page, language, ctx, false);
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::RESP_HANG_UP leaving", "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::RESP_HANG_UP: exiting successfully\n");
  return 0;
}
