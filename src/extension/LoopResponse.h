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
#include "isapi/EventLoopService.h"

class LoopResponse {
 public:
  using Finish = std::function<void(std::unique_ptr<AsyncRequestInfo> info, bool ok, const std::string& response,
                                    const std::string& error)>;

  // Starts reading over info's connection; finish runs on the loop once the
  // response is in or failed. False (info still the caller's) when the host
  // refused the wait.
  static bool Start(std::unique_ptr<AsyncRequestInfo>& info, const RequestLoop& loop, Finish finish);

 private:
  LoopResponse(std::unique_ptr<AsyncRequestInfo> info, const RequestLoop& loop, Finish finish);

  static void OnEvent(void* context, std::uint32_t events);
  // Goes as far as the bytes there allow; true when the object is finished
  // (and must be deleted).
  bool Step(std::uint32_t events);
  bool WaitForData();

  std::unique_ptr<AsyncRequestInfo> info_;
  const RequestLoop loop_;
  const Finish finish_;
  std::optional<ResponseReader> reader_;
  std::size_t filled_ = 0;        // of what the reader wants now
  std::int64_t deadline_ns_ = 0;  // the wait for the next bytes ends
};
