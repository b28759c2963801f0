#include "chat/ChatRequests.h"

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "extension/SettingsRules.h"

PendingStart StartPendingRequest(CRAVOExtension& extension, CHttpServerContext* ctx, int type,
                                 const MessageBody& body, int field_count, AsyncRequestInfo texts,
                                 bool use_ssl, std::string& error) {
  std::string message;
  auto info = std::make_unique<AsyncRequestInfo>(std::move(texts));
  if (!extension.BuildVEKACSMessage(message, type, field_count, body, info->requestId)) {
    return PendingStart::kBuildFailed;
  }
  info->type = type;
  info->ecb = ctx->m_pECB;
  info->useSSL = use_ssl;
  return extension.CommunicateWithVEKACS(message, error, error, &info, use_ssl) ? PendingStart::kPending
                                                                                : PendingStart::kExchangeFailed;
}

int ReturnCodeValue(const std::string& code) { return ParseLeadingInt(code); }

std::string ResponseField(const std::string& response, int index) {
  std::string value;
  ExtractParmFromVEKACSMessage(response, index, value);
  return value;
}

bool CRAVOExtension::AnswerResponseFailure(bool ok, const std::string& response, const ResponsePageTexts& texts,
                                           const std::string& language, CHttpServerContext* ctx) {
  if (!ok) {
    diag::TraceLine("CRAVOExtension::%s: GetVEKACSResponse failed\n", texts.handler);
    OutputErrorPage("1003", texts.contextWord, language, ctx);
    diag::AddDiag(diag::kLevelFenx, texts.failedLeaving, "ISAPI", 0);
    return true;
  }
  const std::string code = ResponseField(response, 0);
  const int value = ReturnCodeValue(code);
  if (value == 0) return false;
  diag::TraceLine("CRAVOExtension::%s: VEKA returned error code %d%s\n", texts.handler, value, texts.errorTraceTail);
  OutputErrorPage(texts.codeAsReceived ? code : std::to_string(value), texts.contextWord, language, ctx);
  diag::AddDiag(diag::kLevelFenx, texts.errorLeaving, "ISAPI", 0);
  return true;
}
