#include "extension/HandlerPath.h"

#include "backend/Message.h"
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "platform/Text.h"

BackendAnswer ReadBackendAnswer(bool exchanged, const std::string& response) {
  BackendAnswer answer;
  answer.codeText = exchanged ? ResponseField(response, 0) : protocol::Text(protocol::Code::kExchangeFailed);
  answer.code = text::ParseLeadingInt(answer.codeText);
  return answer;
}

ResponseFields::ResponseFields(std::string_view response) : fields_(ExtractParmsFromVEKACSMessage(response)) {}

BackendAnswer ReadBackendAnswer(bool exchanged, const ResponseFields& fields) {
  BackendAnswer answer;
  answer.codeText = exchanged ? std::string(fields[0]) : protocol::Text(protocol::Code::kExchangeFailed);
  answer.code = text::ParseLeadingInt(answer.codeText);
  return answer;
}

std::string ResponseField(const std::string& response, int index) {
  std::string value;
  ExtractParmFromVEKACSMessage(response, index, value);
  return value;
}

PendingStart CRAVOExtension::StartPending(CHttpServerContext* ctx, PendingRequest request, std::string& error) {
  std::string message;
  auto info = std::make_unique<AsyncRequestInfo>(std::move(request.keep));
  if (!BuildVEKACSMessage(message, protocol::Number(request.type), request.fieldCount, request.body,
                          info->requestId)) {
    return PendingStart::kBuildFailed;
  }
  info->type = protocol::Number(request.type);
  info->ecb = ctx->m_pECB;
  return CommunicateWithVEKACS(message, error, error, &info, request.useSSL) ? PendingStart::kPending
                                                                            : PendingStart::kExchangeFailed;
}

int CRAVOExtension::SendPendingOrErrorPage(CHttpServerContext* ctx, PendingRequest request,
                                           const RequestPageTexts& texts, diag::EntryExitRecords& records) {
  const std::string language = request.keep.language;
  return SendPending(
      ctx, std::move(request), records,
      [&] {
        diag::TraceLine("%s\n", texts.buildFailed);
        OutputErrorPage(protocol::Text(protocol::Code::kWebBuildFailed), texts.contextWord, language, ctx);
      },
      [&](const std::string& error) {
        diag::TraceLine("%s\n", texts.exchangeFailed);
        OutputErrorPage(error, texts.contextWord, language, ctx);
      },
      texts.pending);
}

bool CRAVOExtension::LoadPageOrErrorPage(const char* page_name, std::string& page, const std::string& language,
                                         CHttpServerContext* ctx, const char* missing_trace,
                                         const char* context_word) {
  if (GetLangSpecificWebPage(page_name, page, language, 0)) return true;
  diag::TraceLine("%s\n", missing_trace);
  OutputErrorPage(protocol::Text(protocol::Code::kNoTemplate), context_word, language, ctx);
  return false;
}

bool CRAVOExtension::AnswerResponseFailure(bool ok, const std::string& response, const ResponsePageTexts& texts,
                                           const std::string& language, CHttpServerContext* ctx,
                                           diag::EntryExitRecords& records) {
  if (!ok) {
    diag::TraceLine("CRAVOExtension::%s: GetVEKACSResponse failed\n", texts.handler);
    OutputErrorPage(protocol::Text(protocol::Code::kExchangeFailed), texts.contextWord, language, ctx);
    records.LeaveAs(texts.failedLeaving);
    return true;
  }
  const BackendAnswer answer = ReadBackendAnswer(ok, response);
  if (answer.code == 0) return false;
  diag::TraceLine("CRAVOExtension::%s: VEKA returned error code %d%s\n", texts.handler, answer.code,
                  texts.errorTraceTail);
  OutputErrorPage(texts.codeAsReceived ? answer.codeText : std::to_string(answer.code), texts.contextWord, language,
                  ctx);
  records.LeaveAs(texts.errorLeaving);
  return true;
}
