// What the chat and callback handlers share: handing a built request to the
// worker thread, and reading the back end's return code.
#pragma once

#include <memory>
#include <string>

#include "backend/AsyncRequest.h"
#include "backend/Message.h"

class CRAVOExtension;
class CHttpServerContext;

enum class PendingStart {
  kPending,         // the worker answers; the handler returns kPendingResult
  kBuildFailed,     // nothing was sent
  kExchangeFailed,  // error holds "1002" or "1003"
};

// Builds a request of type from body and hands it, with a record carrying the
// given texts, to a worker thread.
PendingStart StartPendingRequest(CRAVOExtension& extension, CHttpServerContext* ctx, int type,
                                 const MessageBody& body, int field_count, AsyncRequestInfo texts,
                                 bool use_ssl, std::string& error);

// The texts of a response handler whose failures end in an error page.
struct ResponsePageTexts {
  const char* handler;          // its name in trace lines, "RESP_HANG_UP"
  const char* contextWord;      // of its error pages, "REQ_HANG_UP"
  const char* failedLeaving;    // record after a failed exchange
  const char* errorLeaving;     // record after a back-end error
  const char* errorTraceTail;   // after "VEKA returned error code %d"
  bool codeAsReceived;          // the error page shows the code text, not the number
};

// A return code as decimal text read like atoi: "abc" is 0, "0042" is 42.
int ReturnCodeValue(const std::string& code);

// Field index of a response, empty when absent.
std::string ResponseField(const std::string& response, int index);
