// What the two callback requests share on their way out: both end every
// failure before the hand-over in an error page whose context word tells a
// message that could not be built from an exchange that failed.
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"

int CRAVOExtension::SendCallbackRequest(CHttpServerContext* ctx, PendingRequest request, const char* handler,
                                        diag::EntryExitRecords& records) {
  const std::string language = request.keep.language;
  return SendPending(
      ctx, std::move(request), records,
      [&] {
        diag::TraceLine("CRAVOExtension::%s: Build message failed\n", handler);
        OutputErrorPage(protocol::Text(protocol::Code::kWebBuildFailed), handler, language, ctx);
      },
      [&](const std::string& error) {
        diag::TraceLine("CRAVOExtension::%s: CommunicateWithVEKACS failed\n", handler);
        OutputErrorPage(error, "COMMUNICATE_WITH_VEKACS", language, ctx);
      });
}
