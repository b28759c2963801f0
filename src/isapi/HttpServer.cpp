#include "isapi/HttpServer.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "isapi/ReasonPhrases.h"

namespace {

constexpr std::uint32_t kDefaultStatus = 200;

bool IsMethod(const isapi::ControlBlock* ecb, const char* method) {
  return ecb->lpszMethod != nullptr && std::strcmp(ecb->lpszMethod, method) == 0;
}

std::string_view OrEmpty(const char* text) { return text == nullptr ? std::string_view() : text; }

// Reads the whole body: the bytes the host already holds, then the rest.
// Returns the HTTP status that refuses the body, or 0 when it was read.
std::uint32_t ReadBody(isapi::ControlBlock* ecb, std::string& body) {
  if (ecb->cbTotalBytes == isapi::kUnknownContentLength) return 413;
  if (ecb->cbTotalBytes > CHttpServer::kMaxRequestBody) return 413;
  const std::size_t total = ecb->cbTotalBytes;
  const std::size_t available = std::min<std::size_t>(ecb->cbAvailable, total);
  body.reserve(total);
  if (available > 0 && ecb->lpbData != nullptr) {
    body.assign(reinterpret_cast<const char*>(ecb->lpbData), available);
  }
  char chunk[16384];
  while (body.size() < total) {
    auto size = static_cast<std::uint32_t>(std::min(sizeof chunk, total - body.size()));
    if (!isapi::ReadClient(ecb, chunk, size) || size == 0) {
      return 400;
    }
    body.append(chunk, std::min<std::size_t>(size, total - body.size()));
  }
  return 0;
}

std::string_view WithoutTrailingBlanks(std::string_view text) {
  const auto last = text.find_last_not_of(" \r\n");
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

// Answers a request that never reached CallFunction.
std::uint32_t Refuse(CHttpServer& frame, isapi::ControlBlock* ecb, std::uint32_t status) {
  ecb->dwHttpStatusCode = status;
  CHttpServerContext ctx(ecb);
  ctx.m_pStream = frame.ConstructStream();
  if (ctx.m_pStream) ctx << StatusText(status);
  SendContextResponse(ctx);
  return isapi::kStatusError;
}

}  // namespace

bool CHttpServer::TerminateExtension(std::uint32_t) { return true; }

bool CHttpServer::GetExtensionVersion(isapi::VersionInfo* version) {
  version->dwExtensionVersion = isapi::MakeVersion(6, 0);
  version->lpszExtensionDesc[0] = '\0';
  return true;
}

bool CHttpServer::InitInstance(CHttpServerContext*) { return true; }

std::unique_ptr<CHtmlStream> CHttpServer::ConstructStream() {
  try {
    return std::make_unique<CHtmlStream>();
  } catch (const std::exception&) {
    return nullptr;
  }
}

bool CHttpServer::OnParseError(CHttpServerContext* ctx, int code) {
  if (!ctx->m_pStream) return false;
  ctx->m_pStream->Reset();
  ctx->m_dwEndOfHeaders = 0;
  *ctx << BuiltInStatusPage(HttpStatusForResult(code));
  return true;
}

std::uint32_t CHttpServer::HttpExtensionProc(isapi::ControlBlock* ecb) {
  if (ecb == nullptr) return isapi::kStatusError;
  try {
    const bool is_post = IsMethod(ecb, "POST");
    if (!is_post && !IsMethod(ecb, "GET")) return Refuse(*this, ecb, 405);

    std::string body;
    if (is_post) {
      if (const auto refusal = ReadBody(ecb, body); refusal != 0) return Refuse(*this, ecb, refusal);
    }
    const std::string_view query =
        WithoutTrailingBlanks(is_post ? std::string_view(body) : OrEmpty(ecb->lpszQueryString));
    const std::string_view command = is_post ? OrEmpty(ecb->lpszQueryString) : std::string_view();
    return Serve(ecb, query, command);
  } catch (...) {
    ecb->dwHttpStatusCode = 500;
    return isapi::kStatusError;
  }
}

std::uint32_t CHttpServer::RunCall(isapi::ControlBlock* ecb, std::string_view query, std::string_view command) {
  ecb->dwHttpStatusCode = kDefaultStatus;
  CHttpServerContext ctx(ecb);
  int result = InitInstance(&ctx) ? CallFunction(&ctx, query, command) : kCallUnexpectedException;
  if (ctx.m_completionStatus == isapi::kStatusPending) return isapi::kStatusPending;

  if (result != kCallOk) {
    if (ecb->dwHttpStatusCode == kDefaultStatus) ecb->dwHttpStatusCode = HttpStatusForResult(result);
    OnParseError(&ctx, result);
  }
  SendContextResponse(ctx);
  if (ctx.m_completionStatus) return *ctx.m_completionStatus;
  return result == kCallOk ? isapi::kStatusSuccess : isapi::kStatusError;
}

void CHttpServer::RunLaterCall(isapi::ControlBlock* ecb, std::string_view query, std::string_view command) {
  try {
    if (RunCall(ecb, query, command) == isapi::kStatusPending) return;
  } catch (...) {
    ecb->dwHttpStatusCode = 500;
  }
  isapi::DoneWithSession(ecb);
}
