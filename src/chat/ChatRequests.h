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

// A return code as decimal text read like atoi: "abc" is 0, "0042" is 42.
int ReturnCodeValue(const std::string& code);

// Field index of a response, empty when absent.
std::string ResponseField(const std::string& response, int index);
