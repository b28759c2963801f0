// The callback request: the visitor's form goes to the back end, which
// confirms it, refuses it as not available now, or rejects it with a reason.
#include <array>

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/PageNames.h"
#include "pages/Placeholders.h"
#include "protocol/Codes.h"

namespace {

using protocol::Code;

struct AnswerPage {
  std::array<Code, 2> codes;
  const char* page;
  const char* missingTrace;
  const char* contextWord;
  bool showsReason;  // field 1, the back end's reason, goes into <WCCALLBACKERRMSG>
};

constexpr AnswerPage kAnswerPages[] = {
    {{Code::kSuccess, Code::kCallbackAlreadyPending}, page_key::kWebCallbackConfirmed,
     "CRAVOExtension::RESP_WEB_CALLBACK: Cannot retrieve 'confirmed' webpage", "KEY_WEB_CALLBACK_CONFIRM_PG", false},
    {{Code::kCallbackNotAvailable, Code::kCallbackSwitchedOff}, page_key::kWebCallbackNotAvailable,
     "CRAVOExtension::RESP_WEB_CALLBACK: Cannot retrieve 'not available' webpage", "KEY_WEB_CALLBACK_NOTAVAILABLE_PG",
     false},
    {{Code::kCallbackRejected, Code::kCallbackRejected}, page_key::kWebCallbackRejected,
     "CRAVOExtension::RESP_WEB_CALLBACK: Cannot retrieve 'rejected' webpage", "KEY_WEB_CALLBACK_REJECTED_PG", true},
};

const AnswerPage* FindAnswerPage(int code) {
  for (const auto& row : kAnswerPages) {
    for (const auto row_code : row.codes) {
      if (protocol::Number(row_code) == code) return &row;
    }
  }
  return nullptr;
}

}  // namespace

int CRAVOExtension::REQ_WEB_CALLBACK(CHttpServerContext* ctx, const std::string& customer_name,
                                     const std::string& phone_number, const std::string& caption,
                                     const std::string& priority, const std::string& call_type,
                                     const std::string& schedules, const std::string& timezone_offset,
                                     const std::string& call_data, const std::string& language) {
  diag::TraceLine("CRAVOExtension::REQ_WEB_CALLBACK: Entered\n");
  diag::EntryExitRecords records("CRAVOExtension::REQ_WEB_CALLBACK entering", "CRAVOExtension::REQ_WEB_CALLBACK leaving");
  PendingRequest request(protocol::MessageType::kWebCallback,
                         {"0000", customer_name, phone_number, caption, priority, call_type, schedules,
                          timezone_offset, call_data},
                         m_settings.callbackUsesSSL);
  return SendCallbackRequest(ctx, std::move(request.Keep(language)), "REQ_WEB_CALLBACK", records);
}

int CRAVOExtension::RESP_WEB_CALLBACK(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                      const std::string& response, const std::string&) {
  const std::string& language = info->language;
  diag::TraceLine("CRAVOExtension::RESP_WEB_CALLBACK: Entered\n");
  diag::EntryExitRecords records({}, "CRAVOExtension::RESP_WEB_CALLBACK leaving");
  if (!ok) {
    diag::TraceLine("CRAVOExtension::RESP_WEB_CALLBACK: GetVEKACSResponse failed\n");
    OutputErrorPage(protocol::Text(protocol::Code::kExchangeFailed), "COMMUNICATE_WITH_VEKACS", language, ctx);
    records.LeaveAs("CRAVOExtension::REQ_WEB_CALLBACK leaving");
    return 0;
  }
  const BackendAnswer answer = ReadBackendAnswer(ok, response);
  const AnswerPage* row = FindAnswerPage(answer.code);
  if (row == nullptr) {
    diag::TraceLine("CRAVOExtension::RESP_WEB_CALLBACK: VEKA returned error code %d\n", answer.code);
    OutputErrorPage(answer.codeText, "REQ_WEB_CALLBACK", language, ctx);
    return 0;
  }
  std::string page;
  if (!GetLangSpecificWebPage(row->page, page, language, 0)) {
    diag::TraceLine("%s\n", row->missingTrace);
    OutputErrorPage(answer.codeText, row->contextWord, language, ctx);
    return 0;
  }
  // The reason is the back end's text; in the visitor's page it is text, never
  // markup.
  if (row->showsReason) ReplacePlaceholder(page, placeholder::kCallbackErrorMessage, HtmlEscaped(ResponseField(response, 1)));
  OutputPage(page, language, ctx, false);
  diag::TraceLine("CRAVOExtension::RESP_WEB_CALLBACK: Exiting successfully\n");
  return 0;
}
