// The voice browser's operations as one table: what each sends to the back
// end and which placeholders of the answer document its response fields
// fill. Dispatch, the request handler and the response handler are each one
// piece of code driven by a row.
//
// Threads: the table is built on first use and only read afterwards.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol/Codes.h"

// Where one request field comes from.
struct VoiceField {
  enum class Source {
    kVariable,      // the request variable named by text (without '=')
    kBusinessUnit,  // the business unit every request carries, cut to 32
    kFixed,         // text itself
  };
  Source source;
  std::string_view text;
};

struct VoiceOperation {
  std::string_view name;  // the request name, "REQ_VXML_ENQUEUE"
  protocol::MessageType type;
  std::vector<VoiceField> request;          // the fields sent, in order
  std::vector<std::string_view> response;   // placeholder of response field 1, 2, ...

  // The handlers' names and record texts, made once so that records may
  // hold them by reference for as long as the module lives.
  std::string responseName;     // "RESP_REQ_VXML_ENQUEUE"
  std::string requestEntering;  // "CRAVOExtension::REQ_VXML_ENQUEUE entering"
  std::string requestLeaving;
  std::string responseLeaving;
  std::string ioFailed;         // record of a failed exchange
  std::string noDocumentTrace;  // the template could not be loaded
  std::string noDocumentRecord;
};

// Every operation, in the order the dispatcher tests their names.
const std::vector<VoiceOperation>& VoiceOperations();

// The operation of a request name or message type; null when none.
const VoiceOperation* FindVoiceOperation(std::string_view name);
const VoiceOperation* FindVoiceOperation(int type);
