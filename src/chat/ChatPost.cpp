// What the visitor types: chat lines and typing notices.
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/PageNames.h"
#include "pages/Placeholders.h"

namespace {

// Visitors' angle brackets travel as entities; their line breaks as <BR>.
std::string ConvertChatText(std::string text) {
  ReplacePlaceholder(text, "<BR>", "%0A");
  ReplacePlaceholder(text, "<", "&lt;");
  ReplacePlaceholder(text, ">", "&gt;");
  ReplacePlaceholder(text, "%0A", "<BR>");
  return text;
}

}  // namespace

bool CRAVOExtension::OutputChatControl(CHttpServerContext* ctx, const std::string& language,
                                       const std::string& error_text, const std::string& session_id) {
  std::string page;
  if (!GetLangSpecificWebPage(page_key::kJSChatControl, page, language, 0)) return false;
  ReplacePlaceholder(page, placeholder::kLanguage, language);
  ReplacePlaceholder(page, placeholder::kErrorCode, error_text);
  ReplacePlaceholder(page, placeholder::kSessionId, session_id);
  ReplacePlaceholder(page, placeholder::kServlet, m_moduleFileName);
  OutputPage(page, language, ctx, false);
  return true;
}

int CRAVOExtension::REQ_ADD_TO_CHAT(CHttpServerContext* ctx, const std::string& session_id,
                                    const std::string& chat_text, const std::string& index_key,
                                    const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: Entered, sessionID=%s\n", session_id.c_str());
  diag::EntryExitRecords records("CRAVOExtension::REQ_ADD_TO_CHAT entering", "CRAVOExtension::REQ_ADD_TO_CHAT leaving");
  diag::AddDiag(diag::kLevelInfo, "REQ_ADD_TO_CHAT for " + session_id, "ISAPI", __LINE__);
  const auto control_page = [&](const std::string& error_text, const std::string& session_text) {
    if (OutputChatControl(ctx, language, error_text, session_text)) return true;
    diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: Could not retrive control page\n");
    OutputErrorPage(protocol::Text(protocol::Code::kNoTemplate), "REQ_ADD_TO_CHAT", language, ctx);
    diag::AddDiag(diag::kLevelSevr, "Could not execute REQ_ADD_TO_CHAT for " + session_id, ".\\RAVO", __LINE__);
    return false;
  };
  if (chat_text.empty()) {
    if (control_page("", HtmlEscaped(session_id))) {
      diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: Exiting successfully - there was no new data to add\n");
    }
    return 0;
  }
  PendingRequest request(protocol::MessageType::kChatPost, {session_id}, m_settings.chatUsesSSL);
  AppendLongMessageField(request.body, ConvertChatText(chat_text));
  ++request.fieldCount;
  return SendPending(
      ctx, std::move(request.Keep(language, session_id, index_key)), records,
      [] {
        diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: Cannot bnuild VEKA request\n");
        diag::AddDiag(diag::kLevelSevr, "BuildVEKACSMessage execution error", ".\\RAVO", __LINE__);
      },
      [&](const std::string&) {
        diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: CommunicateWithVEKAS failed\n");
        // The session identifier goes in as sent, the way the page sent it.
        if (control_page(protocol::Text(protocol::Code::kExchangeFailed), session_id)) {
          diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: Exiting unsuccessfully\n");
        }
      },
      "CRAVOExtension::REQ_ADD_TO_CHAT: Exiting with call pending");
}

int CRAVOExtension::RESP_ADD_TO_CHAT(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                     const std::string& response, const std::string&) {
  const std::string& language = info->language;
  diag::EntryExitRecords records("CRAVOExtension::RESP_ADD_TO_CHAT TEST CHANGE",
                                 "CRAVOExtension::RESP_ADD_TO_CHAT leaving");
  diag::TraceLine("CRAVOExtension::RESP_ADD_TO_CHAT: Entered\n");
  const BackendAnswer answer = ReadBackendAnswer(ok, response);
  if (ok) {
    diag::TraceLine("CRAVOExtension::RESP_ADD_TO_CHAT: VEKA returned error code %s\n", answer.codeText.c_str());
  } else {
    diag::TraceLine("CRAVOExtension::RESP_ADD_TO_CHAT: GetVEKAResponse returned error\n");
  }
  if (!OutputChatControl(ctx, language, answer.code == 0 ? "" : std::to_string(answer.code),
                         HtmlEscaped(info->sessionId))) {
    diag::TraceLine("CRAVOExtension::RESP_ADD_TO_CHAT: Could not retrieve dispatch webpage\n");
    OutputErrorPage(protocol::Text(protocol::Code::kNoTemplate), "REQ_ADD_TO_CHAT", language, ctx);
    diag::AddDiag(diag::kLevelSevr, "Could not execute REQ_ADD_TO_CHAT for " + info->sessionId, ".\\RAVO", __LINE__);
    return 0;
  }
  diag::TraceLine("CRAVOExtension::RESP_ADD_TO_CHAT: Exiting successfully\n");
  return 0;
}

int CRAVOExtension::REQ_NOTIFY_TIPYNG_CHAT(CHttpServerContext* ctx, const std::string& session_id,
                                           const std::string& typing_data, const std::string& index_key,
                                           const std::string& language) {
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_NOTIFY_TIPYNG_CHAT entering", "ISAPI", 0);
  PendingRequest request(protocol::MessageType::kChatTyping, {session_id, typing_data}, m_settings.chatUsesSSL);
  std::string error;
  // A typing notice never produces a page, whatever happens.
  return StartPending(ctx, std::move(request.Keep(language, session_id, index_key)), error) == PendingStart::kPending
             ? kPendingResult
             : 0;
}

int CRAVOExtension::RESP_NOTIFY_TIPYNG_CHAT(bool, CHttpServerContext*, AsyncRequestInfo*, const std::string&,
                                            const std::string&) {
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::RESP_NOTIFY_TIPYNG_CHAT entering", "ISAPI", 0);
  return 0;
}
