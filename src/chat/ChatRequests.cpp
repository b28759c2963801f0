#include "chat/ChatRequests.h"

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
