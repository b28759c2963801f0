#include "vxml/VoiceOperations.h"

#include <utility>

namespace {

using protocol::MessageType;
using Source = VoiceField::Source;

constexpr VoiceField Var(std::string_view name) { return {Source::kVariable, name}; }

VoiceOperation Row(std::string_view name, MessageType type, std::vector<VoiceField> request,
                   std::vector<std::string_view> response) {
  VoiceOperation operation{name, type, std::move(request), std::move(response), {}, {}, {}, {}, {}, {}, {}};
  const std::string request_name(name);
  operation.responseName = "RESP_" + request_name;
  operation.requestEntering = "CRAVOExtension::" + request_name + " entering";
  operation.requestLeaving = "CRAVOExtension::" + request_name + " leaving";
  operation.responseLeaving = "CRAVOExtension::" + operation.responseName + " leaving";
  operation.ioFailed = "CRAVOExtension::" + operation.responseName + " I/O failed.";
  // The first operation's texts name the document differently, and the
  // records of all the others misspell its extension; support staff search
  // the logs for these texts as they are.
  if (type == MessageType::kVoiceInitialize) {
    operation.noDocumentTrace = "CRAVOExtension::" + operation.responseName + ": Cannot retrieve 'VXMLResponse' page";
    operation.noDocumentRecord = "CRAVOExtension::" + operation.responseName + " Cannot retrieve VXMLResponse page";
  } else {
    operation.noDocumentTrace = "CRAVOExtension::" + operation.responseName + ": Cannot retrieve 'Response.vxml' page";
    operation.noDocumentRecord = "CRAVOExtension::" + operation.responseName + " Cannot retrieve Response.xvml page";
  }
  return operation;
}

std::vector<VoiceOperation> BuildOperations() {
  return {
      Row("REQ_VXML_INITIALIZE", MessageType::kVoiceInitialize, {Var("varUniqueID"), Var("varANI"), Var("varDNIS")},
          {"<WCVXMLCALLID>"}),
      Row("REQ_VXML_ENQUEUE", MessageType::kVoiceEnqueue,
          {Var("varCallID"), Var("varIVRHold"), Var("varQueueName"), Var("varInitialPriority"), Var("varDescription"),
           Var("varAgentID"), Var("varAgentWaitTime")},
          {"<WCVXMLESTIMATEDWAIT>", "<WCVXMLCALLSINQ>"}),
      Row("REQ_VXML_QUERYROUTINGINFO", MessageType::kVoiceQueryRoutingInfo, {Var("varCallID")},
          {"<WCVXMLDESTINATION>", "<WCVXMLAGENTID>", "<WCVXMLAGENTWAITTIME>", "<WCVXMLDESCRIPTION>",
           "<WCVXMLINITIALPRIORITY>", "<WCVXMLESTIMATEDWAIT>", "<WCVXMLCALLSINQ>"}),
      Row("REQ_VXML_SETCONTACTDATA", MessageType::kVoiceSetContactData,
          {Var("varCallID"), Var("varKey"), Var("varValue")}, {}),
      Row("REQ_VXML_TERMINATE", MessageType::kVoiceTerminate, {Var("varCallID"), Var("varTermType")}, {}),
      Row("REQ_VXML_GETTRANSITNUMBER", MessageType::kVoiceGetTransitNumber, {Var("varCallID")}, {"<WCTRANSITNUMBER>"}),
      Row("REQ_VXML_RELEASETRANSITNUMBER", MessageType::kVoiceReleaseTransitNumber, {Var("varCallID")}, {}),
      Row("REQ_VXML_QUERYQUEUESTATISTICS", MessageType::kVoiceQueryQueueStatistics,
          {Var("varQueueName"), {Source::kBusinessUnit, {}}},
          {"<WCVXMLCALLSINQ>", "<WCVXMLESTIMATEDWAIT>", "<WCVXMLAVERAGEWAIT>", "<WCVXMLOLDESTCALLINQUEUE>",
           "<WCVXMLSERVICELEVEL>"}),
      Row("REQ_VXML_CREATECALLBACK", MessageType::kVoiceCreateCallback,
          {Var("varCallID"), Var("varQueueName"), Var("varDescription"), Var("varTimeZoneOffset"),
           Var("varContactName"), Var("varSchedule1"), Var("varSchedule2"), Var("varSchedule3")},
          {"<WCVXMLCALLBACKID>"}),
      Row("REQ_VXML_DELETECALLBACK", MessageType::kVoiceDeleteCallback, {Var("varCallbackID")}, {}),
      Row("REQ_VXML_SETDISPLAY", MessageType::kVoiceSetDisplay, {Var("varCallID"), Var("varDisplayInfo")}, {}),
      Row("REQ_VXML_DEQUEUE", MessageType::kVoiceDequeue, {Var("varCallID")}, {}),
      Row("REQ_VXML_GETCONTACTDATA", MessageType::kVoiceGetContactData, {Var("varCallID"), Var("varKey")},
          {"<WCVXMLVALUE>"}),
      Row("REQ_VXML_QUERYCALLSTATUS", MessageType::kVoiceQueryCallStatus, {Var("varCallID"), Var("varTimeOut")},
          {"<WCVXMLPOSITIONINQ>"}),
      Row("REQ_VXML_QUERYAGENTSTATUS", MessageType::kVoiceQueryAgentStatus, {Var("varAgentID"), Var("varDevice")},
          {"<WCVXMLAGENTID>", "<WCVXMLDEVICE>", "<WCVXMLAGENTSTATUS>"}),
      Row("REQ_VXML_QUERYSYSTEMSTATUS", MessageType::kVoiceQuerySystemStatus, {{Source::kFixed, "1"}},
          {"<WCVXMLOVERALLSTATUS>", "<WCVXMLSERVERSTATE>", "<WCVXMLENTRIES>"}),
      // The business unit is extracted again here, whole: the voice browser
      // may set names longer than the 32 bytes of the common value.
      Row("REQ_VXML_SETBUSINESSUNIT", MessageType::kVoiceSetBusinessUnit,
          {Var("varCallID"), Var("varBusinessUnitName")}, {}),
      Row("REQ_VXML_GETBUSINESSUNIT", MessageType::kVoiceGetBusinessUnit, {Var("varCallID")},
          {"<WCBUSINESSUNITNAME>"}),
  };
}

}  // namespace

const std::vector<VoiceOperation>& VoiceOperations() {
  static const std::vector<VoiceOperation> operations = BuildOperations();
  return operations;
}

const VoiceOperation* FindVoiceOperation(std::string_view name) {
  for (const auto& operation : VoiceOperations()) {
    if (operation.name == name) return &operation;
  }
  return nullptr;
}

const VoiceOperation* FindVoiceOperation(int type) {
  for (const auto& operation : VoiceOperations()) {
    if (protocol::Number(operation.type) == type) return &operation;
  }
  return nullptr;
}
