// The extension's back-end operations: thin entries onto the back-end client
// under the names the traces use, and the heartbeat request.
#include <cerrno>
#include <functional>
#include <memory>
#include <optional>

#include "backend/ReservedConnection.h"
#include "diag/TraceLog.h"
#include "extension/Dispatch.h"
#include "extension/HeldCallTrace.h"
#include "extension/LoopBorrow.h"
#include "extension/LoopResponse.h"
#include "extension/RAVO.h"
#include "isapi/EventLoopService.h"
#include "platform/FileSnapshots.h"

namespace {

// Once the request went out: its record gets the connection, and the answer
// is read on the host's loop (loop given; unsent, the end of the request the
// socket could not take yet, goes out first) or on this worker thread.
void ReadAnswer(CRAVOExtension& extension, std::unique_ptr<AsyncRequestInfo>& record, const RequestLoop* loop,
                BackendClient::Connection connection, const std::string& unsent, std::size_t sent) {
  record->connection = std::move(connection);
  const auto answer = [&extension](std::unique_ptr<AsyncRequestInfo> info, bool ok, const std::string& reply,
                                   const std::string& failure) {
    extension.AnswerPending(std::move(info), ok, reply, failure);
  };
  if (loop != nullptr && LoopResponse::Start(record, *loop, answer, unsent, sent)) return;
  // The host refusing its loop for a request it just handed over would be
  // a fault of its own: with the request out whole, it is answered the old
  // way; with part of it still here, the exchange has failed.
  if (!unsent.empty()) {
    const std::string failure = BackendClient::SendFailed(*record->connection, ECANCELED);
    answer(std::move(record), false, {}, failure);
    return;
  }
  extension.AsyncThreadProc(std::move(record));
}

}  // namespace

int CRAVOExtension::REQ_HEARTBEAT(CHttpServerContext* ctx, const std::string& host_name,
                                  const std::string& web_application, const std::string& port) {
  diag::TraceLine("CRAVOExtension::REQ_HEARTBEAT: Entered\n");
  std::string message;
  if (!m_backend.BuildHeartbeat(host_name, web_application, port, message)) {
    diag::TraceLine("CRAVOExtension::REQ_HEARTBEAT: Build message failed\n");
    return 0;
  }
  std::string reply;
  std::unique_ptr<AsyncRequestInfo> pending;
  if (ctx != nullptr && RequestLoop::Offered(ctx->m_pECB)) {
    pending = std::make_unique<AsyncRequestInfo>();
    pending->type = protocol::Number(protocol::MessageType::kHeartbeat);
    pending->ecb = ctx->m_pECB;
  }
  const bool on_loop = pending != nullptr;
  const bool answered = CommunicateWithVEKACS(message, reply, reply, &pending, false);
  if (answered && on_loop) return kPendingResult;  // RESP_HEARTBEAT finishes it
  return RESP_HEARTBEAT(answered, ctx, nullptr, reply, reply);
}

int CRAVOExtension::RESP_HEARTBEAT(bool ok, CHttpServerContext*, AsyncRequestInfo*, const std::string&,
                                   const std::string&) {
  if (!ok) diag::TraceLine("CRAVOExtension::REQ_HEARTBEAT: CommunicateWithVEKACS failed\n");
  // Over the plain pool whatever the settings say: its outcome tells of the
  // back end only when the services use that pool too.
  if (m_settings.AnyServicePlain()) m_heartbeats.Record(ok);
  return 0;
}

int CRAVOExtension::SendHeartbeat(const std::string& web_server, const std::string& web_application) {
  bool answered = false;
  const int result = m_backend.SendHeartbeat(
      web_server, web_application,
      {m_settings.AnyServicePlain(), m_settings.AnyServiceSecure(), m_settings.portText, m_settings.sslPortText},
      &answered);
  m_heartbeats.Record(answered);
  return result;
}

bool CRAVOExtension::BuildVEKACSMessage(std::string& message, int type, int field_count,
                                        const MessageBody& body, std::uint32_t& request_id) {
  return m_backend.Build(message, type, field_count, body, request_id);
}

bool CRAVOExtension::CommunicateWithVEKACS(const std::string& request, std::string& response,
                                           std::string& error, std::unique_ptr<AsyncRequestInfo>* pending,
                                           bool use_ssl) {
  if (pending == nullptr || !*pending) return m_backend.Communicate(request, response, error, nullptr, use_ssl);
  const std::optional<RequestLoop> loop = RequestLoop::Offered((*pending)->ecb);
  if (loop) {
    // With the host's loop the job only arms the first wait, so it runs
    // here, before Communicate returns: it may use the caller's record and
    // loop where they are.
    struct Here {
      CRAVOExtension* extension;
      std::unique_ptr<AsyncRequestInfo>* record;
      const RequestLoop* loop;
    } here{this, pending, &*loop};
    BackendClient::PendingJob job = [&here](BackendClient::Connection connection, std::string unsent,
                                            std::size_t sent) {
      ReadAnswer(*here.extension, *here.record, here.loop, std::move(connection), unsent, sent);
    };
    return m_backend.Communicate(request, response, error, &job, use_ssl, true);
  }
  // The record travels in a holder the job shares, so that it comes back to
  // the caller when no worker thread could take it.
  auto holder = std::make_shared<std::unique_ptr<AsyncRequestInfo>>(std::move(*pending));
  BackendClient::PendingJob job = [this, holder](BackendClient::Connection connection, std::string unsent,
                                                 std::size_t sent) {
    ReadAnswer(*this, *holder, nullptr, std::move(connection), unsent, sent);
  };
  if (m_backend.Communicate(request, response, error, &job, use_ssl)) return true;
  *pending = std::move(*holder);
  return false;
}

bool CRAVOExtension::GetVEKACSResponse(TRSocket& connection, std::string& response, std::string& error) {
  return m_backend.ReadResponse(connection, response, error);
}

std::uint32_t CRAVOExtension::Serve(isapi::ControlBlock* ecb, std::string_view query, std::string_view command) {
  // The request's files (settings, templates) are checked against the change
  // notices once, at the first read, however many of them it reads.
  const platform::FileCheckScope files;
  const std::optional<RequestLoop> loop = RequestLoop::Offered(ecb);
  if (!loop) return RunCall(ecb, query, command);
  const DispatchRow* row =
      FindDispatchRow(m_routes.requests, RequestNameWithoutRecords(query.empty() ? command : query));
  std::shared_ptr<BackendClient::ConnectionPool> pool;
  if (row != nullptr) {
    switch (row->service) {
      case BackendService::kNone: break;
      case BackendService::kChat: pool = m_backend.PoolFor(m_settings.chatUsesSSL); break;
      case BackendService::kCallback: pool = m_backend.PoolFor(m_settings.callbackUsesSSL); break;
      case BackendService::kVoice: pool = m_backend.PoolFor(m_settings.voiceXmlUsesSSL); break;
      case BackendService::kPlainPool: pool = m_backend.PoolFor(false); break;
    }
  }
  if (!pool) {
    const std::uint32_t status = RunCall(ecb, query, command);
    HeldCallTrace::CallEnded();
    return status;
  }
  // Made only when the borrow has to wait: it keeps copies of the request's
  // texts, which a borrow that ends at once never needs.
  const auto make_later = [this, ecb, &pool, query, command]() -> LoopBorrow::Ready {
    return [this, ecb, pool, kept_query = std::string(query), kept_command = std::string(command)](
               BackendClient::Connection connection, bool abandoned, std::string held, bool seen_open) {
      if (abandoned) {
        // Answered by the host already; the call never ran.
        isapi::DoneWithSession(ecb);
        return;
      }
      {
        const platform::FileCheckScope later_files;
        const ReservedConnection reserved(pool.get(), std::move(connection), std::move(held), seen_open);
        RunLaterCall(ecb, kept_query, kept_command);
      }
      HeldCallTrace::CallEnded();
    };
  };
  std::string held;
  bool seen_open = false;
  std::optional<BackendClient::Connection> ready =
      LoopBorrow::Start(pool, pool == m_backend.PoolFor(true), *loop, std::cref(make_later), held, seen_open);
  if (!ready) return isapi::kStatusPending;
  std::uint32_t status = 0;
  {
    const ReservedConnection reserved(pool.get(), std::move(*ready), std::move(held), seen_open);
    status = RunCall(ecb, query, command);
  }
  HeldCallTrace::CallEnded();
  return status;
}
