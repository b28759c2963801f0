// The one path every handler that talks to the back end takes. A request
// handler describes its request (type, fields, what the response handler
// will need) and the extension builds it, sends it and leaves it pending, or
// says which step failed. A response handler turns field 0 of the answer
// into "failed, error page shown" or "go on".
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "extension/AsyncRequest.h"
#include "protocol/Codes.h"
#include "protocol/Message.h"

struct PendingRequest {
  // A request of type over the pool use_ssl names, with fields in order, each
  // behind a short prefix (a long field is appended to body afterwards).
  PendingRequest(protocol::MessageType request_type, std::initializer_list<std::string_view> fields, bool use_ssl)
      : type(request_type), fieldCount(static_cast<int>(fields.size())), useSSL(use_ssl) {
    for (const auto field : fields) AppendMessageField(body, field);
  }
  // What the response handler of a chat operation shows.
  PendingRequest& Keep(std::string language, std::string session_id = {}, std::string index_key = {}) {
    keep.language = std::move(language);
    keep.sessionId = std::move(session_id);
    keep.indexKey = std::move(index_key);
    return *this;
  }

  protocol::MessageType type;
  MessageBody body;
  int fieldCount = 0;
  bool useSSL = false;
  AsyncRequestInfo keep;  // language, session id ...: what the response handler shows
};

enum class PendingStart {
  kPending,         // the worker answers; the handler returns kPendingResult
  kBuildFailed,     // nothing was sent
  kExchangeFailed,  // error holds "1002" or "1003"
};

// The trace lines of a request handler whose failures end in an error page.
struct RequestPageTexts {
  const char* contextWord;     // of its error pages, "REQ_HANG_UP"
  // Trace lines, without their line end:
  const char* buildFailed;     // when the request could not be built
  const char* exchangeFailed;  // when it could not be sent
  const char* pending;         // once it is pending, or null
};

// Field 0 of a response as the handlers read it.
struct BackendAnswer {
  std::string codeText;  // as received; "1003" when the exchange failed
  int code = 0;          // its value, read as atoi reads it
};
BackendAnswer ReadBackendAnswer(bool exchanged, const std::string& response);

// The fields of a response read once, as views into it: the response must
// outlive them. A field the response does not have is empty.
class ResponseFields {
 public:
  explicit ResponseFields(std::string_view response);
  std::string_view operator[](std::size_t index) const {
    return index < fields_.size() ? fields_[index] : std::string_view();
  }

 private:
  std::vector<std::string_view> fields_;
};
BackendAnswer ReadBackendAnswer(bool exchanged, const ResponseFields& fields);

// The texts of a response handler whose failures end in an error page.
struct ResponsePageTexts {
  const char* handler;         // its name in trace lines, "RESP_HANG_UP"
  const char* contextWord;     // of its error pages, "REQ_HANG_UP"
  const char* failedLeaving;   // record after a failed exchange
  const char* errorLeaving;    // record after a back-end error
  const char* errorTraceTail;  // after "VEKA returned error code %d"
  bool codeAsReceived;         // the error page shows the code text, not the number
};

// Field index of a response, empty when absent.
std::string ResponseField(const std::string& response, int index);
