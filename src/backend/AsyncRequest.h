// What a request handler hands to the worker thread that answers a pending
// request: owned by the handler until the worker starts, then by the worker.
#pragma once

#include <cstdint>
#include <string>

#include "isapi/httpext.h"

class TRSocket;

struct AsyncRequestInfo {
  int type = 0;                // message type; selects the response handler
  std::uint32_t requestId = 0;
  QX_EXTENSION_CONTROL_BLOCK* ecb = nullptr;
  std::string text1;           // per operation: the user language for chat and voice browser
  std::string text2;           // per operation: the chat session id
  std::string text3;
  std::string text4;           // per operation: the visitor's address for a chat start
  TRSocket* connection = nullptr;  // set just before the worker starts
  bool useSSL = false;             // which pool the connection came from
};
