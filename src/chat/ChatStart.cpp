// Starting a chat: the back end creates a session and the visitor gets the
// chat page carrying its identifier.
#include "chat/ChatRequests.h"
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/Placeholders.h"

int CRAVOExtension::REQ_JS_START(CHttpServerContext* ctx, const std::string& session_priority,
                                 const std::string& customer_name, const std::string& caption,
                                 const std::string& destination, const std::string& backend_language,
                                 const std::string& source, const std::string& call_data,
                                 const std::string& business_unit, const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_JS_START: Entered\n");
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_JS_START entering", "ISAPI", 0);
  long ignored = 0;
  std::string remote = ctx->GetServerVariable("REMOTE_ADDR", 100, &ignored).value_or("");
  remote = remote.substr(0, remote.find('\0'));

  MessageBody body;
  for (const auto* field : {&session_priority, &customer_name, &caption, &destination, &backend_language,
                            &source, &call_data, &business_unit}) {
    AppendMessageField(body, *field);
  }
  AsyncRequestInfo texts;
  texts.text1 = language;
  texts.text4 = remote;
  std::string error;
  switch (StartPendingRequest(*this, ctx, 20, body, 8, std::move(texts), m_settings.chatUsesSSL, error)) {
    case PendingStart::kPending:
      diag::TraceLine("CRAVOExtension::REQ_JS_START: Exiting with call pending\n");
      return kPendingResult;
    case PendingStart::kBuildFailed:
      diag::TraceLine("CRAVOExtension::REQ_JS_START: Cannot build VEKAS message\n");
      OutputErrorPage("1012", "REQ_JS_START", language, ctx);
      break;
    case PendingStart::kExchangeFailed:
      diag::TraceLine("CRAVOExtension::REQ_JS_START: CommunicateWithVEKAS failed\n");
      OutputErrorPage(error, "REQ_JS_START", language, ctx);
      break;
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_JS_START leaving", "ISAPI", 0);
  return 0;
}

int CRAVOExtension::RESP_JS_START(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                  const std::string& response, const std::string&) {
  const std::string& language = info->text1;
  diag::TraceLine("CRAVOExtension::RESP_JS_START: Entered\n");
  static constexpr ResponsePageTexts kTexts{"RESP_JS_START", "REQ_JS_START", "CRAVOExtension::RESPQ_JS_START leaving",
                                            "CRAVOExtension::RESP_JS_START leaving", "", false};
  if (AnswerResponseFailure(ok, response, kTexts, language, ctx)) return 0;
  const std::string session_id = ResponseField(response, 1);
  std::string page;
  if (!GetLangSpecificWebPage("ChatFrame", page, language, 0)) {
    diag::TraceLine("CRAVOExtension::RESP_JS_START: Cannot retrieve webpage\n");
    OutputErrorPage("1006", "REQ_JS_START", language, ctx);
    diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::RESP_JS_START leaving", "ISAPI", 0);
    return 0;
  }
  std::string escaped = session_id;
  EncodeHTMLEscape(escaped);
  ReplacePlaceholder(page, "<WCSESSIONID>", escaped);
  ReplacePlaceholder(page, "<WCLANGUAGE>", language);
  ReplacePlaceholder(page, "<WCSERVLET>", m_moduleFileName);
  diag::AddDiag(diag::kLevelInfo, "REQ_JS_START from " + info->text4 + " starts session " + session_id, "ISAPI",
                __LINE__);
  OutputPage(page, language, ctx, false);
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::RESP_JS_START leaving", "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::RESP_JS_START: Exiting successfully, new sessionID=%s\n", session_id.c_str());
  return 0;
}
