#include "isapi/HttpServerContext.h"

#include <algorithm>
#include <cerrno>
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
  errno = 0;
  if (m_pECB == nullptr || m_pECB->GetServerVariable == nullptr ||
      !m_pECB->GetServerVariable(m_pECB->ConnID, name, buffer.data(), &size)) {
    if (error != nullptr) *error = errno;
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

bool WriteAll(QX_EXTENSION_CONTROL_BLOCK* ecb, std::string_view bytes) {
  while (!bytes.empty()) {
    auto count = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!ecb->WriteClient(ecb->ConnID, bytes.data(), &count, 0) || count == 0) return false;
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
  if (end_of_headers > 0) {
    std::string status = StatusText(ecb->dwHttpStatusCode);
    std::string headers = text.substr(0, end_of_headers);
    auto size = static_cast<std::uint32_t>(status.size());
    errno = 0;
    if (!ecb->ServerSupportFunction(ecb->ConnID, QX_REQ_SEND_RESPONSE_HEADER, status.data(), &size,
                                    headers.data())) {
      const int error = errno;
      if (error != QX_ERROR_CONNECTION_RESET) {
        ecb->dwHttpStatusCode = 500;
        return {SendOutcome::Kind::kHeaderFailed, error};
      }
    }
    errno = 0;
    if (!WriteAll(ecb, "\r\n")) {
      ecb->dwHttpStatusCode = 500;
      return {SendOutcome::Kind::kBodyFailed, errno};
    }
  }
  errno = 0;
  if (!WriteAll(ecb, std::string_view(text).substr(end_of_headers))) {
    ecb->dwHttpStatusCode = 500;
    return {SendOutcome::Kind::kBodyFailed, errno};
  }
  return {};
}
