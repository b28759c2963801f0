// Pending requests: a worker thread per request reads the back end's
// response, gives the connection back, runs the response handler of the
// request type and answers the HTTP request.
#include <memory>

#include "backend/AsyncRequest.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "vxml/VoiceOperations.h"

namespace {

unsigned long Handle(const TRSocket* socket) {
  return static_cast<unsigned long>(static_cast<unsigned>(socket->handle()));
}

}  // namespace

const std::vector<CRAVOExtension::ResponseHandlerEntry>& CRAVOExtension::ResponseHandlers() {
  // Response handlers register here by message type as their subsystem lands.
  static const std::vector<ResponseHandlerEntry> table = {
      {20, &CRAVOExtension::RESP_JS_START},     {40, &CRAVOExtension::RESP_ADD_TO_CHAT},
      {310, &CRAVOExtension::RESP_NOTIFY_TIPYNG_CHAT}, {50, &CRAVOExtension::RESP_DELTA_CHAT},
      {70, &CRAVOExtension::RESP_HANG_UP},      {80, &CRAVOExtension::RESP_CALLME_EVENT},
      {100, &CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY},
      {110, &CRAVOExtension::RESP_WEB_CALLBACK},
  };
  return table;
}

std::optional<int> CRAVOExtension::RunResponseHandler(int type, bool ok, CHttpServerContext* ctx,
                                                      AsyncRequestInfo* info, const std::string& response,
                                                      const std::string& error) {
  for (const auto& entry : ResponseHandlers()) {
    if (entry.type == type) return (this->*entry.handler)(ok, ctx, info, response, error);
  }
  // The voice operations' types are rows of their own table, one handler for all.
  if (FindVoiceOperation(type) != nullptr) return RESP_REQ_VXML(ok, ctx, info, response, error);
  return std::nullopt;
}

int CRAVOExtension::AsyncThreadProc(std::unique_ptr<AsyncRequestInfo> info) {
  diag::TraceLine("CRAVOExtension::AsyncThreadProc: Entered\n");
  std::string response;
  std::string error;
  const bool ok = GetVEKACSResponse(*info->connection, response, error);

  const unsigned long handle = Handle(info->connection.get());
  diag::TraceLine("CRAVOExtension::AsyncThreadProc: Returning %ssocket %08lX to pool ... \n", ok ? "" : "failed ",
                  handle);
  if (!(ok ? info->connection.Release() : info->connection.Fail())) {
    diag::TraceLine("CRAVOExtension::AsyncThreadProc: socket %08lX refused by its pool\n", handle);
  }
  diag::TraceLine("CRAVOExtension::AsyncThreadProc: Socket %08lX returned to pool\n", handle);

  CHttpServerContext ctx(info->ecb);
  ctx.m_pStream = ConstructStream();
  int code = kCallNoStream;
  if (ctx.m_pStream) {
    try {
      if (const auto result = RunResponseHandler(info->type, ok, &ctx, info.get(), response, error)) {
        code = *result;
      } else {
        diag::TraceLine("CRAVOExtension::AsyncThreadProc: Invalid request type %d in async info\n", info->type);
        code = 0;
      }
    } catch (...) {
      // Nothing may escape a thread; the visitor gets the frame's error page.
      code = kCallUnexpectedException;
    }
  }
  // A response handler that asked to stay pending has answered nothing yet:
  // the frame knows only its own results.
  info->ecb->dwHttpStatusCode = HttpStatusForResult(code == kPendingResult ? kCallOk : code);
  if (code != 0 && code != kPendingResult) OnParseError(&ctx, code);
  const SendOutcome sent = SendContextResponse(ctx);
  switch (sent.kind) {
    case SendOutcome::Kind::kHeaderFailed:
      diag::TraceLine("CRAVOExtension::AsyncThreadProc: Unable to write headers, Win32 rc=%d\n", sent.error);
      break;
    case SendOutcome::Kind::kBodyFailed:
      diag::TraceLine("CRAVOExtension::AsyncThreadProc: Unable to write body, Win32 rc=%d\n", sent.error);
      break;
    case SendOutcome::Kind::kNoContent:
      diag::TraceLine("CRAVOExtension::AsyncThreadProc: No body content\n");
      break;
    case SendOutcome::Kind::kSent:
      break;
  }
  isapi::ControlBlock* ecb = info->ecb;
  info.reset();
  if (code != kPendingResult) isapi::DoneWithSession(ecb);
  diag::TraceLine("CRAVOExtension::AsyncThreadProc: Exiting\n");
  return 0;
}
