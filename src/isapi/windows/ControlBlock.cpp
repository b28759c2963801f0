#include "isapi/ControlBlock.h"

namespace isapi {

// The server's callbacks take DWORD sizes and report failures through
// GetLastError; the module's code sees 32-bit sizes and an error number.

bool GetServerVariable(ControlBlock* ecb, const char* name, char* buffer, std::uint32_t& size, long& error) {
  DWORD length = size;
  SetLastError(0);
  const bool ok = ecb != nullptr && ecb->GetServerVariable != nullptr &&
                  ecb->GetServerVariable(ecb->ConnID, const_cast<LPSTR>(name), buffer, &length);
  if (!ok) error = static_cast<long>(GetLastError());
  size = static_cast<std::uint32_t>(length);
  return ok;
}

bool WriteClient(ControlBlock* ecb, const void* data, std::uint32_t& bytes, long& error) {
  DWORD length = bytes;
  SetLastError(0);
  const bool ok = ecb->WriteClient(ecb->ConnID, const_cast<LPVOID>(data), &length, HSE_IO_SYNC);
  if (!ok) error = static_cast<long>(GetLastError());
  bytes = static_cast<std::uint32_t>(length);
  return ok;
}

bool ReadClient(ControlBlock* ecb, void* buffer, std::uint32_t& size) {
  DWORD length = size;
  const bool ok = ecb->ReadClient != nullptr && ecb->ReadClient(ecb->ConnID, buffer, &length);
  size = static_cast<std::uint32_t>(length);
  return ok;
}

bool SendResponseHeader(ControlBlock* ecb, std::string& status, std::string& headers, long& error) {
  DWORD size = static_cast<DWORD>(status.size());
  SetLastError(0);
  // The header lines travel in the last argument, as the server expects.
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status.data(), &size,
                                  reinterpret_cast<LPDWORD>(headers.data()))) {
    error = static_cast<long>(GetLastError());
    return false;
  }
  return true;
}

void DoneWithSession(ControlBlock* ecb) {
  DWORD status = HSE_STATUS_SUCCESS;
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, &status, nullptr, nullptr);
}

// A Windows web server has no event-loop service: its pending requests wait on
// the module's worker threads.
bool GetEventLoopService(ControlBlock*, QX_EVENT_LOOP_SERVICE&) { return false; }

}  // namespace isapi
