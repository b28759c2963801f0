// Polling: what is new in the conversation since the index the page shows.
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/PageNames.h"
#include "pages/Placeholders.h"

namespace {

// Chat text goes into a double-quoted string of the page's script.
std::string ForScriptString(std::string text) {
  ReplacePlaceholder(text, "\\", "\\\\");
  ReplacePlaceholder(text, "\"", "\\\"");
  return text;
}

}  // namespace

bool CRAVOExtension::OutputDispatchPage(CHttpServerContext* ctx, const std::string& language,
                                        const ChatPageValues& values) {
  const auto page = GetLangSpecificTemplate(page_key::kJSDispatch, language);
  if (page == nullptr) return false;
  OutputChatPage(page->text, values, language, ctx);
  return true;
}

int CRAVOExtension::REQ_DELTA_CHAT(CHttpServerContext* ctx, const std::string& session_id,
                                   const std::string& index_key, const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_DELTA_CHAT: Entered, sessionID=%s\n", session_id.c_str());
  diag::EntryExitRecords records("CRAVOExtension::REQ_DELTA_CHAT entering", "CRAVOExtension::REQ_DELTA_CHAT leaving");
  if (diag::DiagKeeps(diag::kLevelInfo)) {
    diag::AddDiag(diag::kLevelInfo, "REQ_DELTA_CHAT for " + session_id, "ISAPI", __LINE__);
  }
  PendingRequest request(protocol::MessageType::kChatPoll, {session_id, index_key}, m_settings.chatUsesSSL);
  return SendPending(
      ctx, std::move(request.Keep(language, session_id, index_key)), records,
      [] {
        diag::TraceLine("CRAVOExtension::REQ_DELTA_CHAT: Cannot build VEKA message\n");
        diag::AddDiag(diag::kLevelSevr, "BuildVEKACSMessage execution error", ".\\RAVO", __LINE__);
      },
      [&](const std::string& error) {
        diag::TraceLine("CRAVOExtension::REQ_DELTA_CHAT: CommunicateWithVEKAS failed\n");
        // The page keeps its chat text and index: nothing moves on a failed poll.
        if (OutputDispatchPage(ctx, language,
                               {.sessionId = session_id, .chatData = placeholder::kChatData, .pushUrl = "",
                                .index = index_key, .errorCode = error, .language = language, .agentKey = "",
                                .whoIsTyping = ""})) {
          records.Dismiss();
          return;
        }
        diag::TraceLine("CRAVOExtension::REQ_DELTA_CHAT: Cannot build VEKA message\n");
        diag::AddDiag(diag::kLevelSevr, "Could not execute REQ_DELTA_CHAT for " + session_id, ".\\RAVO", __LINE__);
      });
}

int CRAVOExtension::RESP_DELTA_CHAT(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                    const std::string& response, const std::string&) {
  const std::string& language = info->language;
  const std::string& session_id = info->sessionId;
  diag::TraceLine("CRAVOExtension::RESP_DELTA_CHAT: Entered\n");
  diag::EntryExitRecords records({}, "CRAVOExtension::RESP_DELTA_CHAT leaving");
  const ResponseFields fields(ok ? std::string_view(response) : std::string_view());
  const BackendAnswer answer = ReadBackendAnswer(ok, fields);
  const auto no_page = [&](const char* trace) {
    diag::TraceLine("%s\n", trace);
    diag::AddDiag(diag::kLevelSevr, "Could not execute REQ_DELTA_CHAT for " + session_id, ".\\RAVO", __LINE__);
    return 0;
  };
  const auto answered = [] {
    diag::TraceLine("CRAVOExtension::RESP_DELTA_CHAT: Exiting successfully\n");
    return 0;
  };
  const auto output = [&](std::string& page) {
    OutputPage(page, language, ctx, false);
    return answered();
  };

  if (answer.code == protocol::Number(protocol::Code::kSuccess)) {
    const auto page = GetLangSpecificTemplate(page_key::kJSDispatch, language);
    if (page == nullptr) return no_page("CRAVOExtension::RESP_DELTA_CHAT: Cannot retrieve dispatch webpage");
    const std::string chat = ForScriptString(EscapeKeepingLineBreaks(std::string(fields[1])));
    std::string_view push_url = fields[2];
    std::string_view agent_key = fields[3];
    std::string_view index = fields[4];
    std::string typing(fields[5]);
    if (!typing.empty()) typing += " typing...";
    std::string error_text;
    const auto quoted = [](std::string_view field) { return field.find('"') != std::string_view::npos; };
    if (quoted(push_url) || quoted(agent_key) || quoted(index)) {
      diag::AddDiag(diag::kLevelSevr,
                    "Could not execute REQ_DELTA_CHAT for " + session_id + " server returned forbidden symbol",
                    ".\\RAVO", __LINE__);
      push_url = {};
      agent_key = {};
      index = {};
      error_text = protocol::Text(protocol::Code::kForbiddenSymbol);
    }
    OutputChatPage(page->text,
                   {.sessionId = session_id, .chatData = chat, .pushUrl = push_url, .index = index,
                    .errorCode = error_text, .language = language, .agentKey = agent_key, .whoIsTyping = typing},
                   language, ctx);
    return answered();
  }
  if (answer.code == protocol::Number(protocol::Code::kAgentDisconnected)) {
    diag::TraceLine("CRAVOExtension::RESP_DELTA_CHAT: VEKA requested disconnect\n");
    std::string page;
    if (!GetLangSpecificWebPage(page_key::kAgentDisconnect, page, language, 0)) {
      return no_page("CRAVOExtension::RESP_DELTA_CHAT: Cannot disconnect webpage");
    }
    return output(page);
  }
  if (answer.code == protocol::Number(protocol::Code::kTransferred)) {
    diag::TraceLine("CRAVOExtension::RESP_DELTA_CHAT: VEKA requested transfer\n");
    std::string page;
    if (!GetLangSpecificWebPage(page_key::kTransferredTo, page, language, 0)) {
      return no_page("CRAVOExtension::RESP_DELTA_CHAT: Cannot retrieve transfer webpage");
    }
    ReplacePlaceholder(page, placeholder::kTransferTo, HtmlEscaped(std::string(fields[1])));
    return output(page);
  }
  diag::TraceLine("CRAVOExtension::RESP_DELTA_CHAT: Error code %d returned from VEKA\n", answer.code);
  const auto page = GetLangSpecificTemplate(page_key::kJSDispatch, language);
  if (page == nullptr) return no_page("CRAVOExtension::RESP_DELTA_CHAT: Cannot retrieve dispatch webpage");
  OutputChatPage(page->text,
                 {.sessionId = session_id, .chatData = placeholder::kChatData, .pushUrl = "", .index = info->indexKey,
                  .errorCode = answer.codeText, .language = language, .agentKey = "", .whoIsTyping = ""},
                 language, ctx);
  return answered();
}
