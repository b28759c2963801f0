// The voice browser's operations: one request handler and one response
// handler for all of them, driven by the operation's table row, and the
// answer document they write.
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "pages/VoicePages.h"
#include "platform/Text.h"
#include "vxml/VoiceOperations.h"

int CRAVOExtension::REQ_VXML(CHttpServerContext* ctx, std::string_view operation_name,
                             std::span<const std::string> fields, const std::string& language) {
  const VoiceOperation* operation = FindVoiceOperation(operation_name);
  if (operation == nullptr) return 0;  // dispatch rows come from the same table
  const char* name = operation->name.data();
  diag::TraceLine("CRAVOExtension::%s: Entered\n", name);
  diag::EntryExitRecords records(operation->requestEntering, operation->requestLeaving);
  PendingRequest request(operation->type, {}, m_settings.voiceXmlUsesSSL);
  for (const auto& field : fields) AppendMessageField(request.body, field);
  request.fieldCount = static_cast<int>(fields.size());
  request.Keep(language);
  std::string document;
  return SendPending(
      ctx, std::move(request), records,
      [&] {
        diag::TraceLine("CRAVOExtension::%s: Build message failed\n", name);
        OutputVXMLPage(document, protocol::Text(protocol::Code::kVoiceBuildFailed), ctx);
      },
      [&](const std::string& error) {
        diag::TraceLine("CRAVOExtension::%s: CommunicateWithVEKACS failed\n", name);
        OutputVXMLPage(document, error, ctx);
      });
}

int CRAVOExtension::RESP_REQ_VXML(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                  const std::string& response, const std::string& error) {
  const VoiceOperation* operation = FindVoiceOperation(info->type);
  if (operation == nullptr) return 0;  // registered from the same table
  const char* name = operation->responseName.c_str();
  diag::TraceLine("CRAVOExtension::%s: Entered\n", name);
  std::string document;
  if (!ok) {
    diag::TraceLine("CRAVOExtension::%s: GetVEKACSResponse failed\n", name);
    OutputVXMLPage(document, error, ctx);
    diag::AddDiag(diag::kLevelSevr, operation->ioFailed, ".\\RAVO", __LINE__);
    return 0;
  }
  if (!GetVXMLPage(std::string(kVoiceResponseDocument), document)) {
    diag::TraceLine("%s\n", operation->noDocumentTrace.c_str());
    diag::AddDiag(diag::kLevelSevr, operation->noDocumentRecord, ".\\RAVO", __LINE__);
    return 0;
  }
  const std::string code = ResponseField(response, 0);
  if (text::ParseLeadingInt(code) == 0) {
    for (std::size_t field = 0; field < operation->response.size(); ++field) {
      FillVoicePlaceholder(document, operation->response[field],
                           ResponseField(response, static_cast<int>(field) + 1));
    }
  }
  OutputVXMLPage(document, code, ctx);
  diag::AddDiag(diag::kLevelFenx, operation->responseLeaving, "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::%s: Exiting successfully\n", name);
  return 0;
}

bool CRAVOExtension::GetVXMLPage(const std::string& name, std::string& text) const {
  return LoadVoiceDocument(m_settings.iniPath, m_settings.moduleDirectory, name, text);
}

void CRAVOExtension::OutputVXMLPage(std::string& text, const std::string& code, CHttpServerContext* ctx) const {
  diag::EntryExitRecords records("CRAVOExtension::OutputVXMLPage entering", "CRAVOExtension::OutputVXMLPage leaving");
  if (text.empty() && !GetVXMLPage(std::string(kVoiceResponseDocument), text)) {
    records.Dismiss();
    diag::AddDiag(diag::kLevelSevr, "CRAVOExtension::OutputVXMLPage can not open Response.vxml and leaving",
                  ".\\RAVO", __LINE__);
    return;
  }
  CompleteVoiceDocument(text, code);
  *ctx << text;
}
