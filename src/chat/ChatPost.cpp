// What the visitor types: chat lines and typing notices.
#include "chat/ChatRequests.h"
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/Placeholders.h"

std::string ConvertChatText(std::string text) {
  ReplacePlaceholder(text, "<BR>", "%0A");
  ReplacePlaceholder(text, "<", "&lt;");
  ReplacePlaceholder(text, ">", "&gt;");
  ReplacePlaceholder(text, "%0A", "<BR>");
  return text;
}

bool CRAVOExtension::OutputChatControl(CHttpServerContext* ctx, const std::string& language,
                                       const std::string& error_text, const std::string& session_id) {
  std::string page;
  if (!GetLangSpecificWebPage("JSChatControl", page, language, 0)) return false;
  ReplacePlaceholder(page, "<WCLANGUAGE>", language);
  ReplacePlaceholder(page, "<WCERRORCODE>", error_text);
  ReplacePlaceholder(page, "<WCSESSIONID>", session_id);
  ReplacePlaceholder(page, "<WCSERVLET>", m_moduleFileName);
  OutputPage(page, language, ctx, false);
  return true;
}

namespace {

std::string Escaped(std::string text) {
  EncodeHTMLEscape(text);
  return text;
}

}  // namespace

int CRAVOExtension::REQ_ADD_TO_CHAT(CHttpServerContext* ctx, const std::string& session_id,
                                    const std::string& chat_text, const std::string& index_key,
                                    const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: Entered, sessionID=%s\n", session_id.c_str());
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_ADD_TO_CHAT entering", "ISAPI", 0);
  diag::AddDiag(diag::kLevelInfo, "REQ_ADD_TO_CHAT for " + session_id, "ISAPI", __LINE__);
  const auto control_page = [&](const std::string& error_text, const std::string& session_text) {
    if (OutputChatControl(ctx, language, error_text, session_text)) return true;
    diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: Could not retrive control page\n");
    OutputErrorPage("1006", "REQ_ADD_TO_CHAT", language, ctx);
    diag::AddDiag(diag::kLevelSevr, "Could not execute REQ_ADD_TO_CHAT for " + session_id, ".\\RAVO", __LINE__);
    return false;
  };
  if (chat_text.empty()) {
    if (control_page("", Escaped(session_id))) {
      diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_ADD_TO_CHAT leaving", "ISAPI", 0);
      diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: Exiting successfully - there was no new data to add\n");
    } else {
      diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_ADD_TO_CHAT leaving", "ISAPI", 0);
    }
    return 0;
  }
  MessageBody body;
  AppendMessageField(body, session_id);
  AppendLongMessageField(body, ConvertChatText(chat_text));
  AsyncRequestInfo texts;
  texts.text1 = language;
  texts.text2 = session_id;
  texts.text3 = index_key;
  std::string error;
  switch (StartPendingRequest(*this, ctx, 40, body, 2, std::move(texts), m_settings.chatUsesSSL, error)) {
    case PendingStart::kPending:
      diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: Exiting with call pending\n");
      return kPendingResult;
    case PendingStart::kBuildFailed:
      diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: Cannot bnuild VEKA request\n");
      diag::AddDiag(diag::kLevelSevr, "BuildVEKACSMessage execution error", ".\\RAVO", __LINE__);
      break;
    case PendingStart::kExchangeFailed:
      diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: CommunicateWithVEKAS failed\n");
      // The session identifier goes in as sent, the way the page sent it.
      if (control_page("1003", session_id)) {
        diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_ADD_TO_CHAT leaving", "ISAPI", 0);
        diag::TraceLine("CRAVOExtension::REQ_ADD_TO_CHAT: Exiting unsuccessfully\n");
        return 0;
      }
      break;
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_ADD_TO_CHAT leaving", "ISAPI", 0);
  return 0;
}

int CRAVOExtension::RESP_ADD_TO_CHAT(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                     const std::string& response, const std::string&) {
  const std::string& language = info->text1;
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::RESP_ADD_TO_CHAT TEST CHANGE", "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::RESP_ADD_TO_CHAT: Entered\n");
  std::string code = "1003";
  if (ok) {
    code = ResponseField(response, 0);
    diag::TraceLine("CRAVOExtension::RESP_ADD_TO_CHAT: VEKA returned error code %s\n", code.c_str());
  } else {
    diag::TraceLine("CRAVOExtension::RESP_ADD_TO_CHAT: GetVEKAResponse returned error\n");
  }
  const int value = ReturnCodeValue(code);
  if (!OutputChatControl(ctx, language, value == 0 ? "" : std::to_string(value), Escaped(info->text2))) {
    diag::TraceLine("CRAVOExtension::RESP_ADD_TO_CHAT: Could not retrieve dispatch webpage\n");
    OutputErrorPage("1006", "REQ_ADD_TO_CHAT", language, ctx);
    diag::AddDiag(diag::kLevelSevr, "Could not execute REQ_ADD_TO_CHAT for " + info->text2, ".\\RAVO", __LINE__);
    diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::RESP_ADD_TO_CHAT leaving", "ISAPI", 0);
    return 0;
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::RESP_ADD_TO_CHAT leaving", "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::RESP_ADD_TO_CHAT: Exiting successfully\n");
  return 0;
}

int CRAVOExtension::REQ_NOTIFY_TIPYNG_CHAT(CHttpServerContext* ctx, const std::string& session_id,
                                           const std::string& typing_data, const std::string& index_key,
                                           const std::string& language) {
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::REQ_NOTIFY_TIPYNG_CHAT entering", "ISAPI", 0);
  MessageBody body;
  AppendMessageField(body, session_id);
  AppendMessageField(body, typing_data);
  AsyncRequestInfo texts;
  texts.text1 = language;
  texts.text2 = session_id;
  texts.text3 = index_key;
  std::string error;
  // A typing notice never produces a page, whatever happens.
  return StartPendingRequest(*this, ctx, 310, body, 2, std::move(texts), m_settings.chatUsesSSL, error) ==
                 PendingStart::kPending
             ? kPendingResult
             : 0;
}

int CRAVOExtension::RESP_NOTIFY_TIPYNG_CHAT(bool, CHttpServerContext*, AsyncRequestInfo*, const std::string&,
                                            const std::string&) {
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::RESP_NOTIFY_TIPYNG_CHAT entering", "ISAPI", 0);
  return 0;
}
