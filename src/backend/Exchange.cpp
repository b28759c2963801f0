// One request to the back end over a pooled connection, and the reading of
// its response.
#include <cinttypes>
#include <ctime>
#include <memory>
#include <new>

#include "backend/AsyncRequest.h"
#include "backend/Message.h"
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RAVO.h"
#include "generic/Pool.h"
#include "net/SocketFactory.h"

namespace {

constexpr int kSendTimeoutSeconds = 90;
constexpr int kReceiveTimeoutSeconds = 50;
constexpr std::size_t kResponseHeaderBytes = protocol::kLengthPrefixBytes;
constexpr long long kMaxResponseLength = 500000;
constexpr int kAttempts = 3;
constexpr long kSlowResponseSeconds = 20;

unsigned long Handle(const TRSocket* socket) {
  return static_cast<unsigned long>(static_cast<unsigned>(socket->handle()));
}

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace

CRAVOExtension::PlainPool* CRAVOExtension::PoolFor(bool use_ssl) const {
  return use_ssl ? m_sslPool.get() : m_plainPool.get();
}

bool CRAVOExtension::CommunicateWithVEKACS(const std::string& request, std::string& response,
                                           std::string& error, std::unique_ptr<AsyncRequestInfo>* pending,
                                           bool use_ssl) {
  if (diag::TraceOn()) {
    const std::tm now = LocalNow();
    diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Entered - 3 retries time:%04d-%02d-%02d %02d:%02d:%02d \n",
                    now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::CommunicateWithVEKACS entering - 3 retries", "ISAPI", 0);
  bool result = true;
  bool retrying = false;
  PlainPool* pool = PoolFor(use_ssl);
  for (int attempts = kAttempts; attempts > 0;) {
    diag::TraceLine(use_ssl ? "CRAVOExtension::CommunicateWithVEKACS: Getting socket from SSL pool ... \n"
                            : "CRAVOExtension::CommunicateWithVEKACS: Getting socket from non-SSL pool ... \n");
    TRSocket* connection = pool != nullptr ? pool->Get(retrying) : nullptr;
    diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: m_freeList.size = %d, m_inUseList.size = %d\n",
                    pool != nullptr ? pool->FreeCount() : 0, pool != nullptr ? pool->InUseCount() : 0);
    if (connection == nullptr) {
      diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Failed to get a socket from the pool\n");
      error = "1002";
      diag::AddDiag(diag::kLevelWarn, "CRAVOExtension::CommunicateWithVEKACS failed to get socket from pool",
                    "ISAPI", __LINE__);
      result = false;
      break;
    }
    diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Socket %08lX retrieved from pool\n", Handle(connection));
    if (connection->IsClosed()) {
      diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Socket %08lX is CLOSED...trying to get another one.\n",
                      Handle(connection));
      error = "1002";
      result = false;
      (void)pool->Fail(connection);
      retrying = true;
      --attempts;
      continue;
    }
    result = true;
    error.clear();
    if (diag::TraceOn()) {
      // Only the trace shows the local address and port.
      int local_port = 0;
      connection->GetHostName(nullptr, local_port);
    }
    diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Sending %d bytes to socket %08lX ... \n",
                    static_cast<int>(request.size()), Handle(connection));
    std::size_t sent = 0;
    if (const int rc = connection->Send(request.data(), request.size(), sent, kSendTimeoutSeconds, 0); rc != 0) {
      diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Send for socket %08lX failed, rc=%d\n",
                      Handle(connection), rc);
      error = "1003";
      diag::AddDiag(diag::kLevelWarn, "CRAVOExtension::CommunicateWithVEKACS cannot send on socket: " + std::to_string(rc),
                    "ISAPI", __LINE__);
      result = false;
    } else {
      diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Send for socket %08lX OK, %d bytes sent\n",
                      Handle(connection), static_cast<int>(sent));
      if (pending != nullptr && *pending) {
        (*pending)->connection = connection;
        (*pending)->useSSL = use_ssl;
        if (StartWorker(std::move(*pending))) {
          diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::CommunicateWithVEKACS leaving", "ISAPI", 0);
          diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Exiting successfully\n");
          return true;
        }
        diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Cannot create worker thread\n");
        result = false;
      } else {
        result = GetVEKACSResponse(*connection, response, error);
      }
    }
    diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Returning %ssocket %08lX to pool ... \n",
                    result ? "" : "failed ", Handle(connection));
    const unsigned long handle = Handle(connection);
    if (result) {
      (void)pool->Free(connection);
    } else {
      (void)pool->Fail(connection);
    }
    diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Socket %08lX - socket returned to pool\n", handle);
    break;
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::CommunicateWithVEKACS leaving", "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Exiting %ssuccessfully\n", result ? "" : "un");
  return result;
}

bool CRAVOExtension::GetVEKACSResponse(TRSocket& connection, std::string& response, std::string& error) {
  const std::time_t start = std::time(nullptr);
  if (diag::TraceOn()) {
    int local_port = 0;
    connection.GetHostName(nullptr, local_port);
    const std::tm now = LocalNow();
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Entered 3 retries time:%04d-%02d-%02d %02d:%02d:%02d port: %d\n",
                    now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, local_port);
  }
  const unsigned long handle = Handle(&connection);
  const auto protocol_error = [&error](const char* text) {
    error = text;
    diag::AddDiag(diag::kLevelSevr, text, ".\\RAVO", __LINE__);
  };
  const auto receive_failed = [&error](int rc) {
    error = "1003";
    diag::AddDiag(diag::kLevelWarn, "CRAVOExtension::GetVEKACSResponse cannot receive on socket: " + std::to_string(rc),
                  "ISAPI", __LINE__);
  };
  const auto timed_out = [&]() {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: %d seconds timeout occurred on socket %08lX - protocol error\n",
                    kReceiveTimeoutSeconds, handle);
    protocol_error("Socket Timeout - Protocol Error!");
  };
  const auto closed = [&]() {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: 0 bytes received on socket %08lX - protocol error\n", handle);
    protocol_error("0 bytes received - Socket closed - Protocol Error!");
  };

  bool result = false;
  char header[kResponseHeaderBytes];
  std::size_t got = 0;
  bool waited_out = false;
  diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Receiving %d bytes from socket %08lX (timeout = 50 s)... \n",
                  static_cast<int>(kResponseHeaderBytes), handle);
  const int rc = connection.Receive(header, sizeof header, got, waited_out, kReceiveTimeoutSeconds, 0, true);
  if (rc != 0) {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Receive on socket %08lX failed, rc=%d\n", handle, rc);
    receive_failed(rc);
  } else if (waited_out) {
    timed_out();
  } else if (got == 0) {
    closed();
  } else if (got != kResponseHeaderBytes) {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Expected %d but received %d bytes on socket %08lX - protocol error\n",
                    static_cast<int>(kResponseHeaderBytes), static_cast<int>(got), handle);
    protocol_error("Header length mismatch - Protocol Error!");
  } else {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Received %d bytes on socket %08lX successfully\n",
                    static_cast<int>(got), handle);
    const std::string_view header_text(header, sizeof header);
    const protocol::Header read = protocol::ReadHeader(header_text);
    const long long length = read.length;
    // A length below the header's own size could not frame any response.
    if (length > kMaxResponseLength || length < static_cast<long long>(kResponseHeaderBytes)) {
      diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Ridiculous length %d for incoming response on socket %08lX - protocol error\n",
                      static_cast<int>(length), handle);
      protocol_error("Protocol Error!");
    } else {
      const auto id = static_cast<unsigned>(read.id);
      diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Get response on socket %08lX for request ID %u\n", handle, id);
      std::string buffer;
      try {
        buffer.resize(static_cast<std::size_t>(length));
      } catch (const std::bad_alloc&) {
        diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Unexpected exception allocating on stack\n");
        protocol_error("Internal Error!  Insufficient stack memory space to operate!");
      }
      if (!buffer.empty()) {
        buffer.replace(0, kResponseHeaderBytes, header, kResponseHeaderBytes);
        const std::size_t body_length = static_cast<std::size_t>(length) - kResponseHeaderBytes;
        diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Receiving %d bytes from socket %08lX ... \n",
                        static_cast<int>(body_length), handle);
        const int body_rc = connection.Receive(buffer.data() + kResponseHeaderBytes, body_length, got, waited_out,
                                               kReceiveTimeoutSeconds, 0, true);
        if (body_rc != 0) {
          diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Receive on socket %08lX failed, nSocketError=%d\n",
                          handle, body_rc);
          receive_failed(body_rc);
        } else if (waited_out) {
          timed_out();
        } else if (got == body_length && got != 0) {
          diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Received %d bytes successfully on socket %08lX\n",
                          static_cast<int>(got), handle);
          response = std::move(buffer);
          result = true;
        } else if (got != 0) {
          diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Expected %d but received %d bytes on socket %08lX - protocol error\n",
                          static_cast<int>(body_length), static_cast<int>(got), handle);
          protocol_error("Message length mismatch - Response Error!");
        } else {
          closed();
        }
      }
    }
  }

  std::size_t discarded = 0;
  if (const int flush_rc = connection.Flush(discarded); flush_rc != 0) {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Flush on socket %08lX failed, rc=%d\n", handle, flush_rc);
    connection.Close();
  } else if (discarded > 0) {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Flushed %d bytes from socket %08lX\n",
                    static_cast<int>(discarded), handle);
  }
  const long elapsed = static_cast<long>(std::time(nullptr) - start);
  if (elapsed > kSlowResponseSeconds) {
    diag::TraceLine("Attention!!! CRAVOExtension::GetVEKACSResponse: Exiting %ssuccessfully, taking %d seconds\n",
                    result ? "" : "un", static_cast<int>(elapsed));
  } else {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Exiting %ssuccessfully, taking %d seconds\n",
                    result ? "" : "un", static_cast<int>(elapsed));
  }
  return result;
}
