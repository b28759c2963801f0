// What a request handler hands to the worker thread that answers a pending
// request: owned by the handler until the worker starts, then by the worker.
#pragma once

#include <cstdint>
#include <string>

#include "generic/PoolInterfaces.h"
#include "isapi/httpext.h"
#include "net/TRSocket.h"

struct AsyncRequestInfo {
  int type = 0;                // message type; selects the response handler
  std::uint32_t requestId = 0;
  QX_EXTENSION_CONTROL_BLOCK* ecb = nullptr;
  // What the response handler needs of the request; each operation keeps
  // only what its page shows.
  std::string language;        // every operation: the user language of the page
  std::string sessionId;       // chat and call-me: the chat session id
  std::string indexKey;        // chat post, poll and typing: the index the page showed
  std::string visitorAddress;  // chat start: the visitor's remote address
  // Set when the request went out; goes back to its pool whatever happens.
  Generic::Lease<TRSocket> connection;
};
