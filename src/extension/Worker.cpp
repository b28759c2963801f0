// Pending requests: once the back end's response is read (by a worker thread
// per request, or on the host's loop), the connection goes back, the
// response handler of the request type runs and the HTTP request is answered.
#include <memory>

#include "extension/AsyncRequest.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"

namespace {

unsigned long Handle(const TRSocket* socket) {
  return static_cast<unsigned long>(static_cast<unsigned>(socket->handle()));
}

}  // namespace

std::optional<int> CRAVOExtension::RunResponseHandler(int type, bool ok, CHttpServerContext* ctx,
                                                      AsyncRequestInfo* info, const std::string& response,
                                                      const std::string& error) {
  for (const auto& entry : m_routes.responses) {
    if (entry.type == type) return (this->*entry.handler)(ok, ctx, info, response, error);
  }
  return std::nullopt;
}

int CRAVOExtension::AsyncThreadProc(std::unique_ptr<AsyncRequestInfo> info) {
  diag::TraceLine("CRAVOExtension::AsyncThreadProc: Entered\n");
  std::string response;
  std::string error;
  const bool ok = GetVEKACSResponse(*info->connection, response, error);
  AnswerPending(std::move(info), ok, response, error);
  return 0;
}

void CRAVOExtension::AnswerPending(std::unique_ptr<AsyncRequestInfo> info, bool ok, const std::string& response,
                                   const std::string& error) {
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
}
