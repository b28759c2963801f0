#include "isapi/EventLoopService.h"

std::optional<RequestLoop> RequestLoop::Offered(isapi::ControlBlock* ecb) {
  QX_EVENT_LOOP_SERVICE service{};
  if (!isapi::GetEventLoopService(ecb, service)) return std::nullopt;
  return RequestLoop(ecb, service);
}

bool RequestLoop::Wait(int fd, std::uint32_t events, std::int64_t deadline_ns, QX_LOOP_CALLBACK callback,
                       void* context) const {
  return service_.Wait(ecb_->ConnID, fd, events, deadline_ns, callback, context) != 0;
}

void RequestLoop::Cancel() const { service_.Cancel(ecb_->ConnID); }
