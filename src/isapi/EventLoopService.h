// The event-loop service of the host, as a pending request uses it: one wait
// at a time on the loop that serves the request's client. A web server that
// does not offer it answers its request number with FALSE (errno
// QX_ERROR_INVALID_PARAMETER or anything else): the request then has no
// loop, and its exchange needs a thread of the module's.
#pragma once

#include <cstdint>
#include <optional>

#include "isapi/ControlBlock.h"

class RequestLoop {
 public:
  static std::optional<RequestLoop> Offered(isapi::ControlBlock* ecb);

  // Any thread; see QX_EVENT_LOOP_SERVICE. False when the host refused.
  bool Wait(int fd, std::uint32_t events, std::int64_t deadline_ns, QX_LOOP_CALLBACK callback,
            void* context) const;
  void Cancel() const;

 private:
  RequestLoop(isapi::ControlBlock* ecb, const QX_EVENT_LOOP_SERVICE& service)
      : ecb_(ecb), service_(service) {}

  isapi::ControlBlock* ecb_;
  QX_EVENT_LOOP_SERVICE service_;
};
