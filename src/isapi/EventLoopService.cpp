#include "isapi/EventLoopService.h"

std::optional<RequestLoop> RequestLoop::Offered(isapi::ControlBlock* ecb) {
#if defined(_WIN32)
  // A Windows web server has no such service: its requests wait on the
  // module's worker threads.
  (void)ecb;
  return std::nullopt;
#else
  if (ecb == nullptr || ecb->ServerSupportFunction == nullptr) return std::nullopt;
  QX_EVENT_LOOP_SERVICE service{};
  service.cbSize = sizeof service;
  uint32_t size = sizeof service;
  if (!ecb->ServerSupportFunction(ecb->ConnID, QX_REQ_GET_EVENT_LOOP, &service, &size, nullptr)) {
    return std::nullopt;
  }
  if (service.Wait == nullptr || service.Cancel == nullptr) return std::nullopt;
  return RequestLoop(ecb, service);
#endif
}

bool RequestLoop::Wait(int fd, std::uint32_t events, std::int64_t deadline_ns, QX_LOOP_CALLBACK callback,
                       void* context) const {
  return service_.Wait(ecb_->ConnID, fd, events, deadline_ns, callback, context) != 0;
}

void RequestLoop::Cancel() const { service_.Cancel(ecb_->ConnID); }
