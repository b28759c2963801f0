// The extension: one object per loaded module, owning the settings, the
// back-end connection pools and the request-id counter. Request and response
// handlers are its members, defined in the folder of their subsystem.
//
// Threads: the host calls GetExtensionVersion and TerminateExtension once
// each, never beside a request. CallFunction and the handlers run on many host
// threads at once and, for pending requests, on worker threads. Settings are
// written only during start and read without a lock afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "extension/AsyncRequest.h"
#include "backend/BackendClient.h"
#include "diag/DiagThread.h"
#include "diag/Diags.h"
#include "diag/HeartbeatRecord.h"
#include "diag/TraceLog.h"
#include "extension/ExtensionSettings.h"
#include "extension/HandlerPath.h"
#include "isapi/HttpServer.h"
#include "pages/Pages.h"
#include "pages/Placeholders.h"
#include "platform/FileSnapshots.h"

struct DispatchRow;

// The values every request carries, cut to their lengths and checked.
struct CommonRequestValues {
  std::string requestName;   // at most 32 bytes
  std::string language;      // at most 50 bytes, never unsafe in a path
  std::string businessUnit;  // at most 32 bytes
};

class CRAVOExtension : public CHttpServer, public diag::BackendLink {
 public:
  static constexpr std::uint32_t kExtensionVersion = 0x00060000;
  static constexpr std::string_view kExtensionDescription = "TALVERO ISAPI Extension";
  static constexpr std::string_view kInitialModuleFileName = "quorvix.dll";
  static constexpr int kPendingResult = 1000;
  // The PEM pairs (<name>.crt, <name>.key) offered to a TLS back end that
  // asks for a client certificate, in this folder beside the module.
  static constexpr const char* kClientCertificateFolder = "clientcerts";

  using ResponseHandler = int (CRAVOExtension::*)(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                                  const std::string& response, const std::string& error);
  struct ResponseHandlerEntry {
    int type;
    ResponseHandler handler;
  };
  // Where requests and responses go: the handlers of every service, which
  // live in layers above this class's own.
  struct Routes {
    const std::vector<DispatchRow>& requests;  // in the order they are tested
    const std::vector<ResponseHandlerEntry>& responses;
  };

  // module_path: where the module file is; empty asks the dynamic loader.
  // Tests pass a path inside a folder of their own. Defined with the routing
  // tables (module/Routes.cpp), the one place that knows every handler.
  explicit CRAVOExtension(std::string module_path = {});
  ~CRAVOExtension() override;

  // The object the statistics exports reach; null before construction.
  static CRAVOExtension* Instance();

  // Host entry points.
  bool GetExtensionVersion(isapi::VersionInfo* version) override;
  bool TerminateExtension(std::uint32_t flags) override;
  int CallFunction(CHttpServerContext* ctx, std::string_view query,
                   std::string_view command) override;

  // Configuration.
  void LoadSettings();
  std::string ReadWebSetting(std::string_view key) const;
  const ExtensionSettings& Settings() const { return m_settings; }
  const std::string& ModuleFileName() const { return m_moduleFileName; }
  const std::string& VersionString() const { return m_versionString; }

  // Request variables learnt from the first request.
  void UpdateServerVariables(CHttpServerContext* ctx);
  struct ServerNames {
    std::string webServer;
    std::string webApplication;
  };
  ServerNames CurrentServerNames() const;

  // The value the next back-end request carries as its id.
  std::uint32_t NextRequestId() { return m_backend.NextRequestId(); }
  // Sets the counter, so that the next id is value + 1 (replaying a capture).
  void SetRequestIdCounter(std::uint32_t value) { m_backend.SetRequestIdCounter(value); }

  // Statistics exports: copies the 64-byte block of the plain or TLS pool
  // into buffer when that pool exists, else leaves the buffer alone.
  void CopyPoolStatistics(bool tls, void* buffer) const;
  // Heartbeat export: how the heartbeats to the back end went.
  void CopyHeartbeatStatus(QX_HEARTBEAT_STATUS* status) const;

  // Back-end exchange; the work is the back-end client's.
  // Builds a request of type from the caller's fields (field_count of them in
  // body) and the password field. False for a type outside 10..1011 or a
  // field too long for its prefix; message and request_id are then untouched.
  bool BuildVEKACSMessage(std::string& message, int type, int field_count, const MessageBody& body,
                          std::uint32_t& request_id);
  // Sends request over a pooled connection. Without pending: waits for the
  // response (true: response holds it). With pending: hands connection and
  // record to a worker thread, or to the host's event loop when it offers one
  // (true: *pending is empty and the handler returns kPendingResult). False: error holds the error code or text, *pending is
  // still the caller's. response and error may be the same string.
  bool CommunicateWithVEKACS(const std::string& request, std::string& response, std::string& error,
                             std::unique_ptr<AsyncRequestInfo>* pending, bool use_ssl);
  bool GetVEKACSResponse(TRSocket& connection, std::string& response, std::string& error);
  // Heartbeats over the pools the services use; the TLS one's return code,
  // -1 when it failed, 0 when only the plain pool is in use.
  int SendHeartbeat(const std::string& web_server, const std::string& web_application);
  // Pacing of the diagnostics thread; set before start (tests shorten it).
  void SetDiagTiming(const diag::DiagThread::Timing& timing) { m_diagTiming = timing; }
  // The diagnostics thread's link to the back end (DiagLink.cpp).
  diag::BackendLink::ServerNames DiagServerNames() const override;
  int SendDiagHeartbeat(const std::string& web_server, const std::string& web_application) override;
  diag::BackendLink::ReportResult SendDiagRecords(std::span<const std::string> fields) override;

  // The worker thread of one pending request.
  int AsyncThreadProc(std::unique_ptr<AsyncRequestInfo> info);
  // Once the response of a pending request is read (ok) or its reading
  // failed: gives the connection back, runs the response handler, answers
  // and says done with the session. On the worker thread or the loop.
  void AnswerPending(std::unique_ptr<AsyncRequestInfo> info, bool ok, const std::string& response,
                     const std::string& error);

  // Templates and page output; the work is the pages'.
  static constexpr std::string_view kBuiltInErrorPage = Pages::kBuiltInErrorPage;
  bool GetLangSpecificWebPage(const std::string& page, std::string& text, const std::string& language,
                              int attempt) const {
    return m_pages.Load(page, text, language, attempt);
  }
  void OutputPage(const std::string& page, const std::string& language, CHttpServerContext* ctx,
                  bool for_error_page) const {
    m_pages.Output(page, language, ctx, for_error_page);
  }
  void OutputFilledPage(const std::string& page, const std::string& language, CHttpServerContext* ctx) const {
    m_pages.OutputFilled(page, language, ctx);
  }
  // A template shared as it was read (GetLangSpecificWebPage without the
  // copy), and the chat poll page filled from it into the response.
  std::shared_ptr<const platform::FileSnapshot> GetLangSpecificTemplate(const std::string& page,
                                                                        const std::string& language) const {
    return m_pages.LoadTemplate(page, language, 0);
  }
  void OutputChatPage(std::string_view page_template, const ChatPageValues& values, const std::string& language,
                      CHttpServerContext* ctx) const {
    m_pages.OutputChatPage(page_template, values, m_moduleFileName, language, ctx);
  }
  void OutputErrorPage(std::string_view error_code, std::string_view context_word, const std::string& language,
                       CHttpServerContext* ctx) const {
    m_pages.OutputError(error_code, context_word, language, ctx);
  }

  // Request handlers, in dispatch-table order. Each returns 0 once it has
  // answered, or kPendingResult when a worker thread will answer.
  int REQ_WEB_CALLBACK_AVAILABILITY(CHttpServerContext* ctx, const std::string& business_unit,
                                    const std::string& language);
  int REQ_WEB_CALLBACK(CHttpServerContext* ctx, const std::string& customer_name,
                       const std::string& phone_number, const std::string& caption,
                       const std::string& priority, const std::string& call_type,
                       const std::string& schedules, const std::string& timezone_offset,
                       const std::string& call_data, const std::string& language);
  int REQ_WEBCHAT_MAIN(CHttpServerContext* ctx, const std::string& business_unit, const std::string& language) {
    return m_pages.MainPage(ctx, business_unit, language);
  }
  int REQ_STAT_PAGE(CHttpServerContext* ctx, const std::string& language, const std::string& page_name) {
    return m_pages.StaticPage(ctx, language, page_name);
  }
  int REQ_JS_START(CHttpServerContext* ctx, const std::string& session_priority,
                   const std::string& customer_name, const std::string& caption,
                   const std::string& destination, const std::string& backend_language,
                   const std::string& source, const std::string& call_data,
                   const std::string& business_unit, const std::string& language);
  int REQ_DELTA_CHAT(CHttpServerContext* ctx, const std::string& session_id,
                     const std::string& index_key, const std::string& language);
  int REQ_ADD_TO_CHAT(CHttpServerContext* ctx, const std::string& session_id,
                      const std::string& chat_text, const std::string& index_key,
                      const std::string& language);
  int REQ_NOTIFY_TIPYNG_CHAT(CHttpServerContext* ctx, const std::string& session_id,
                             const std::string& typing_data, const std::string& index_key,
                             const std::string& language);
  int REQ_HANG_UP(CHttpServerContext* ctx, const std::string& session_id,
                  const std::string& language);
  int REQ_CALLME_EVENT(CHttpServerContext* ctx, const std::string& session_id,
                       const std::string& agent_key, const std::string& phone_number,
                       const std::string& language);
  // The eighteen voice-browser operations share one handler; operation is the
  // request name of the dispatch row (for example "REQ_VXML_ENQUEUE") and
  // fields are its request fields in order. Every answer, failures included,
  // is the VoiceXML answer document.
  int REQ_VXML(CHttpServerContext* ctx, std::string_view operation,
               std::span<const std::string> fields, const std::string& language);
  // Their one response handler, run by the worker for every voice message
  // type; the type in info names the operation.
  int RESP_REQ_VXML(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info, const std::string& response,
                    const std::string& error);
  // The voice template of [WEBSETTINGS] key name, from the folder vxml/ beside
  // the module; false when it cannot be read or is empty.
  bool GetVXMLPage(const std::string& name, std::string& text) const;
  // Fills the return code and clears the other placeholders of text, then
  // writes it; an empty text loads the answer document first, and when that
  // fails nothing is written (the voice browser gets an empty answer).
  void OutputVXMLPage(std::string& text, const std::string& code, CHttpServerContext* ctx) const;
  // Response handlers of chat and call-me, run by the worker thread.
  int RESP_JS_START(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info, const std::string& response,
                    const std::string& error);
  int RESP_ADD_TO_CHAT(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info, const std::string& response,
                       const std::string& error);
  int RESP_NOTIFY_TIPYNG_CHAT(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                              const std::string& response, const std::string& error);
  int RESP_DELTA_CHAT(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info, const std::string& response,
                      const std::string& error);
  int RESP_HANG_UP(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info, const std::string& response,
                   const std::string& error);
  int RESP_CALLME_EVENT(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info, const std::string& response,
                        const std::string& error);
  // Response handlers of the callback requests.
  int RESP_WEB_CALLBACK_AVAILABILITY(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info,
                                     const std::string& response, const std::string& error);
  int RESP_WEB_CALLBACK(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info, const std::string& response,
                        const std::string& error);

  // A heartbeat a client asks for: a synchronous exchange, except on a
  // host's event loop, where it completes as a pending request does (its
  // response handler is RESP_HEARTBEAT), so that it never holds the loop.
  int REQ_HEARTBEAT(CHttpServerContext* ctx, const std::string& host_name,
                    const std::string& web_application, const std::string& port);
  int RESP_HEARTBEAT(bool ok, CHttpServerContext* ctx, AsyncRequestInfo* info, const std::string& response,
                     const std::string& error);

 protected:
  // On a host's event loop, a request whose handler borrows a pooled
  // connection gets it before the handler runs, without waiting (LoopBorrow),
  // so that neither the loop nor a thread waits for the pool or a connect.
  std::uint32_t Serve(isapi::ControlBlock* ecb, std::string_view query, std::string_view command) override;
  // Calls the handler of a dispatch row. A seam for tests that watch dispatch.
  virtual int InvokeHandler(const DispatchRow& row, CHttpServerContext* ctx,
                            const std::vector<std::string>& arguments);
  // Runs the response handler registered for type; empty when there is none.
  // A seam for tests that watch the worker.
  virtual std::optional<int> RunResponseHandler(int type, bool ok, CHttpServerContext* ctx,
                                                AsyncRequestInfo* info, const std::string& response,
                                                const std::string& error);
 private:
  CRAVOExtension(std::string module_path, const Routes& routes);

  // The chat's control and dispatch pages; false when the template is missing.
  bool OutputChatControl(CHttpServerContext* ctx, const std::string& language, const std::string& error_text,
                         const std::string& session_id);
  bool OutputDispatchPage(CHttpServerContext* ctx, const std::string& language, const ChatPageValues& values);
  // Builds and sends request and leaves it pending for a worker thread, or
  // says which step failed.
  PendingStart StartPending(CHttpServerContext* ctx, PendingRequest request, std::string& error);
  // The one way out of a request handler that talks to the back end: once
  // the request is pending, pending_trace (when given) is traced, records
  // dismissed (the response handler leaves) and the result is kPendingResult.
  // Otherwise build_failed() or exchange_failed(error) answers ("1002" or
  // "1003") and the result is 0.
  template <typename BuildFailed, typename ExchangeFailed>
  int SendPending(CHttpServerContext* ctx, PendingRequest request, diag::EntryExitRecords& records,
                  BuildFailed&& build_failed, ExchangeFailed&& exchange_failed, const char* pending_trace = nullptr) {
    std::string error;
    switch (StartPending(ctx, std::move(request), error)) {
      case PendingStart::kPending:
        if (pending_trace != nullptr) diag::TraceLine("%s\n", pending_trace);
        records.Dismiss();
        return kPendingResult;
      case PendingStart::kBuildFailed:
        build_failed();
        break;
      case PendingStart::kExchangeFailed:
        exchange_failed(error);
        break;
    }
    return 0;
  }
  // The same for handlers that answer every failure with an error page
  // (1012 when nothing could be built, else the exchange's code). Returns
  // kPendingResult, with the leaving record dismissed, or 0.
  int SendPendingOrErrorPage(CHttpServerContext* ctx, PendingRequest request, const RequestPageTexts& texts,
                             diag::EntryExitRecords& records);
  // Answers a failed exchange or a back-end error code with an error page,
  // leaving under the texts' names; false when the response is a success for
  // the handler to show.
  bool AnswerResponseFailure(bool ok, const std::string& response, const ResponsePageTexts& texts,
                             const std::string& language, CHttpServerContext* ctx, diag::EntryExitRecords& records);
  // The way out of both callback requests: pending, or an error page with
  // handler as context word when nothing could be built, the exchange's code
  // otherwise.
  int SendCallbackRequest(CHttpServerContext* ctx, PendingRequest request, const char* handler,
                          diag::EntryExitRecords& records);
  // Loads a page template, or answers with error page 1006 after the given
  // trace line; false then.
  bool LoadPageOrErrorPage(const char* page_name, std::string& page, const std::string& language,
                           CHttpServerContext* ctx, const char* missing_trace, const char* context_word);
  void OpenTraceFile();
  void StartPlainPool();
  void StartTlsPool();
  void StartDiagnostics();
  void StopDiagnostics();

  const Routes m_routes;
  const std::string m_modulePath;
  ExtensionSettings m_settings;
  std::string m_moduleFileName{kInitialModuleFileName};
  const std::string m_versionString;
  bool m_networkStarted = false;
  bool m_securityLoaded = false;  // the TLS layer's load, undone at unload
  BackendClient m_backend;
  Pages m_pages;
  diag::DiagThread::Timing m_diagTiming;
  std::unique_ptr<diag::DiagThread> m_diagThread;
  diag::HeartbeatRecord m_heartbeats;

  mutable std::mutex m_serverVariableLock;
  std::string m_webServerName;       // guarded by m_serverVariableLock
  std::string m_webApplicationName;  // guarded by m_serverVariableLock
};
