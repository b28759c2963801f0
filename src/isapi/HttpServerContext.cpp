#include "isapi/HttpServerContext.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "isapi/ReasonPhrases.h"

CHttpServerContext& CHttpServerContext::operator<<(std::string_view text) {
  if (!m_pStream) throw std::invalid_argument("request context has no response stream");
  m_pStream->Write(text);
  return *this;
}

void CHttpServerContext::AddHeader(std::string_view line) {
  if (!m_pStream) throw std::invalid_argument("request context has no response stream");
  m_pStream->Insert(m_dwEndOfHeaders, line);
  m_dwEndOfHeaders += line.size();
}

std::optional<std::string> CHttpServerContext::GetServerVariable(const char* name,
                                                                 std::uint32_t buffer_size,
                                                                 long* error) const {
  std::vector<char> buffer(buffer_size + 1, '\0');
  std::uint32_t size = buffer_size;
  long failure = 0;
  if (!isapi::GetServerVariable(m_pECB, name, buffer.data(), size, failure)) {
    if (error != nullptr) *error = failure;
    return std::nullopt;
  }
  return std::string(buffer.data());
}

std::uint32_t HttpStatusForResult(int result) {
  switch (result) {
    case 0: return 200;
    case 1:
    case 2:
    case 8: return 400;
    case 3: return 501;
    case 5: return 204;
    default: return 500;
  }
}

namespace {

bool WriteAll(isapi::ControlBlock* ecb, std::string_view bytes, long& error) {
  while (!bytes.empty()) {
    auto count = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!isapi::WriteClient(ecb, bytes.data(), count, error) || count == 0) return false;
    bytes.remove_prefix(std::min<std::size_t>(count, bytes.size()));
  }
  return true;
}

}  // namespace

SendOutcome SendContextResponse(CHttpServerContext& ctx) {
  auto* ecb = ctx.m_pECB;
  if (!ctx.m_pStream || ctx.m_pStream->Size() == 0) return {SendOutcome::Kind::kNoContent, 0};
  const std::string& text = ctx.m_pStream->Text();
  const std::size_t end_of_headers = std::min(ctx.m_dwEndOfHeaders, text.size());
  std::string headers = end_of_headers > 0 ? text.substr(0, end_of_headers) : std::string(isapi::kHeadersOfAPlainPage);
  if (!headers.empty()) {
    std::string status = StatusText(ecb->dwHttpStatusCode);
    long error = 0;
    if (!isapi::SendResponseHeader(ecb, status, headers, error)) {
      if (error != isapi::kErrorConnectionReset) {
        ecb->dwHttpStatusCode = 500;
        return {SendOutcome::Kind::kHeaderFailed, static_cast<int>(error)};
      }
    }
    error = 0;
    if (!WriteAll(ecb, "\r\n", error)) {
      ecb->dwHttpStatusCode = 500;
      return {SendOutcome::Kind::kBodyFailed, static_cast<int>(error)};
    }
  }
  long error = 0;
  if (!WriteAll(ecb, std::string_view(text).substr(end_of_headers), error)) {
    ecb->dwHttpStatusCode = 500;
    return {SendOutcome::Kind::kBodyFailed, static_cast<int>(error)};
  }
  return {};
}
