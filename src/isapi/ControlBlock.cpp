#include "isapi/ControlBlock.h"

#include <cerrno>

namespace isapi {

bool GetServerVariable(ControlBlock* ecb, const char* name, char* buffer, std::uint32_t& size, long& error) {
  errno = 0;
  if (ecb == nullptr || ecb->GetServerVariable == nullptr ||
      !ecb->GetServerVariable(ecb->ConnID, name, buffer, &size)) {
    error = errno;
    return false;
  }
  return true;
}

bool WriteClient(ControlBlock* ecb, const void* data, std::uint32_t& bytes, long& error) {
  errno = 0;
  if (!ecb->WriteClient(ecb->ConnID, data, &bytes, 0)) {
    error = errno;
    return false;
  }
  return true;
}

bool ReadClient(ControlBlock* ecb, void* buffer, std::uint32_t& size) {
  return ecb->ReadClient != nullptr && ecb->ReadClient(ecb->ConnID, buffer, &size);
}

bool SendResponseHeader(ControlBlock* ecb, std::string& status, std::string& headers, long& error) {
  auto size = static_cast<std::uint32_t>(status.size());
  errno = 0;
  if (!ecb->ServerSupportFunction(ecb->ConnID, QX_REQ_SEND_RESPONSE_HEADER, status.data(), &size, headers.data())) {
    error = errno;
    return false;
  }
  return true;
}

void DoneWithSession(ControlBlock* ecb) {
  ecb->ServerSupportFunction(ecb->ConnID, QX_REQ_DONE_WITH_SESSION, nullptr, nullptr, nullptr);
}

bool GetEventLoopService(ControlBlock* ecb, QX_EVENT_LOOP_SERVICE& service) {
  if (ecb == nullptr || ecb->ServerSupportFunction == nullptr) return false;
  service = {};
  service.cbSize = sizeof service;
  std::uint32_t size = sizeof service;
  return ecb->ServerSupportFunction(ecb->ConnID, QX_REQ_GET_EVENT_LOOP, &service, &size, nullptr) &&
         service.Wait != nullptr && service.Cancel != nullptr;
}

}  // namespace isapi
