// Reads the response of a pending request on the host's event loop: each
// step receives what is there without waiting and arms a wait for readiness
// (and the receive time limit) when more must come, so no thread waits for
// the back end. The answer may come in any number of pieces. A request the
// host abandons (its client left, its time ran out, the host stops) ends the
// read as a failed receive: the connection goes back as broken, never reused
// mid-answer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "backend/ResponseReader.h"
#include "extension/AsyncRequest.h"
#include "extension/HeldCallTrace.h"
#include "isapi/EventLoopService.h"

class LoopResponse {
 public:
  using Finish = std::function<void(std::unique_ptr<AsyncRequestInfo> info, bool ok, const std::string& response,
                                    const std::string& error)>;

  // Starts reading over info's connection, once unsent (the end of the
  // request the socket could not take at once, after sent bytes) is sent;
  // finish runs on the loop once the response is in or failed. False (info
  // still the caller's) when the host refused the wait. With unsent, the
  // rest of the calling module call's trace is held back until it is sent.
  static bool Start(std::unique_ptr<AsyncRequestInfo>& info, const RequestLoop& loop, Finish finish,
                    const std::string& unsent = {}, std::size_t sent = 0);

 private:
  LoopResponse(std::unique_ptr<AsyncRequestInfo> info, const RequestLoop& loop, Finish finish);

  static void OnEvent(void* context, std::uint32_t events);
  // Goes as far as the bytes there allow; true when the object is finished
  // (and must be deleted).
  bool Step(std::uint32_t events);
  bool WaitForData();
  // Sends what the socket takes of unsent_; false when a wait is armed.
  // Sets send_error_ when the send failed.
  bool SendRest(std::uint32_t events);

  std::unique_ptr<AsyncRequestInfo> info_;
  const RequestLoop loop_;
  const Finish finish_;
  std::string unsent_;            // of the request, still to go out
  std::size_t unsent_done_ = 0;   // of unsent_, out already
  std::size_t request_size_ = 0;  // of the whole request, for the trace
  std::string send_error_;        // the code to answer when the send failed
  std::shared_ptr<HeldCallTrace> held_;  // the call's lines after the send's
  std::optional<ResponseReader> reader_;
  std::size_t filled_ = 0;        // of what the reader wants now
  std::int64_t deadline_ns_ = 0;  // the wait for the next bytes ends
};
