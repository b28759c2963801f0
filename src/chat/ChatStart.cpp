// Starting a chat: the back end creates a session and the visitor gets the
// chat page carrying its identifier.
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/PageNames.h"
#include "pages/Placeholders.h"

int CRAVOExtension::REQ_JS_START(CHttpServerContext* ctx, const std::string& session_priority,
                                 const std::string& customer_name, const std::string& caption,
                                 const std::string& destination, const std::string& backend_language,
                                 const std::string& source, const std::string& call_data,
                                 const std::string& business_unit, const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_JS_START: Entered\n");
  diag::EntryExitRecords records("CRAVOExtension::REQ_JS_START entering", "CRAVOExtension::REQ_JS_START leaving");
  long ignored = 0;
  std::string remote = ctx->GetServerVariable("REMOTE_ADDR", 100, &ignored).value_or("");
  remote = remote.substr(0, remote.find('\0'));

  PendingRequest request(protocol::MessageType::kChatStart,
                         {session_priority, customer_name, caption, destination, backend_language, source, call_data,
                          business_unit},
                         m_settings.chatUsesSSL);
  request.Keep(language).keep.visitorAddress = std::move(remote);
  return SendPendingOrErrorPage(ctx, std::move(request),
                                {"REQ_JS_START", "CRAVOExtension::REQ_JS_START: Cannot build VEKAS message",
                                 "CRAVOExtension::REQ_JS_START: CommunicateWithVEKAS failed",
                                 "CRAVOExtension::REQ_JS_START: Exiting with call pending"},
                                records);
}

int CRAVOExtension::RESP_JS_START(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                  const std::string& response, const std::string&) {
  const std::string& language = info->language;
  diag::TraceLine("CRAVOExtension::RESP_JS_START: Entered\n");
  diag::EntryExitRecords records({}, "CRAVOExtension::RESP_JS_START leaving");
  static constexpr ResponsePageTexts kTexts{"RESP_JS_START", "REQ_JS_START", "CRAVOExtension::RESPQ_JS_START leaving",
                                            "CRAVOExtension::RESP_JS_START leaving", "", false};
  if (AnswerResponseFailure(ok, response, kTexts, language, ctx, records)) return 0;
  const std::string session_id = ResponseField(response, 1);
  std::string page;
  if (!LoadPageOrErrorPage(page_key::kChatFrame, page, language, ctx,
                           "CRAVOExtension::RESP_JS_START: Cannot retrieve webpage", "REQ_JS_START")) {
    return 0;
  }
  ReplacePlaceholder(page, placeholder::kSessionId, HtmlEscaped(session_id));
  ReplacePlaceholder(page, placeholder::kLanguage, language);
  ReplacePlaceholder(page, placeholder::kServlet, m_moduleFileName);
  diag::AddDiag(diag::kLevelInfo, "REQ_JS_START from " + info->visitorAddress + " starts session " + session_id,
                "ISAPI", __LINE__);
  OutputPage(page, language, ctx, false);
  diag::TraceLine("CRAVOExtension::RESP_JS_START: Exiting successfully, new sessionID=%s\n", session_id.c_str());
  return 0;
}
