#include "backend/BackendClient.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>

#include "backend/ReservedConnection.h"
#include "backend/ResponseReader.h"
#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/WaitLimit.h"
#include "protocol/Codes.h"

namespace {

constexpr int kAttempts = 3;

unsigned long Handle(const TRSocket* socket) {
  return static_cast<unsigned long>(static_cast<unsigned>(socket->handle()));
}

// A lease of ours is always taken back; a refusal would mean the pool lost
// track of what it lent, which only the trace can tell.
void GiveBack(BackendClient::Connection& connection, bool sound) {
  if (!(sound ? connection.Release() : connection.Fail())) {
    diag::TraceLine("BackendClient: a connection was refused by its own pool\n");
  }
}

}  // namespace

BackendClient::BackendClient(std::string version, std::uint32_t first_id)
    : version_(std::move(version)), request_id_(first_id) {}

BackendClient::~BackendClient() { StopWorkers(std::chrono::seconds(10)); }

void BackendClient::StartPlainPool(const PoolSettings& settings,
                                   std::shared_ptr<Generic::FactoryInterface<TRSocket>> factory) {
  StartPool(plain_pool_, false, settings, std::move(factory));
}

void BackendClient::StartTlsPool(const PoolSettings& settings,
                                 std::shared_ptr<Generic::FactoryInterface<TRSocket>> factory) {
  StartPool(tls_pool_, true, settings, std::move(factory));
}

void BackendClient::StartPool(std::shared_ptr<ConnectionPool>& pool, bool use_ssl, const PoolSettings& settings,
                              std::shared_ptr<Generic::FactoryInterface<TRSocket>> factory) {
  if (pool) return;
  if (!factory) {
    auto sockets = std::make_shared<SocketFactory>();
    SocketFactoryOptions options;
    options.host = settings.host;
    options.port = settings.port;
    options.useSSL = use_ssl;
    sockets->options.CopyFrom(options);
    factory = std::move(sockets);
  }
  Generic::PoolOptions bounds;
  bounds.minPool = settings.minSockets;
  bounds.maxPool = settings.maxSockets;
  try {
    pool = std::make_shared<ConnectionPool>(std::move(factory), bounds);
  } catch (const std::exception&) {
    pool.reset();  // requests then find no connection (1002)
  }
}

std::shared_ptr<BackendClient::ConnectionPool> BackendClient::PoolFor(bool use_ssl) const {
  return use_ssl ? tls_pool_ : plain_pool_;
}

bool BackendClient::Build(std::string& message, int type, int field_count, const MessageBody& body,
                          std::uint32_t& request_id) {
  const diag::EntryExitRecords records("CRAVOExtension::BuildVEKACSMessage entering",
                                       "CRAVOExtension::BuildVEKACSMessage leaving");
  if (static_cast<unsigned>(type - 10) > 1001u) return false;
  if (body.overflow || field_count < 0 || field_count >= protocol::kMaxFieldCount) {
    diag::TraceLine("CRAVOExtension::BuildVEKACSMessage: a field is too long for its length prefix\n");
    return false;
  }
  // The password field last, as AppendMessageField appends it: left out
  // when it is too long for its prefix. The message is made in one piece.
  const bool password_fits = password_.size() <= protocol::kMaxShortField;
  const std::size_t password_bytes = password_fits ? protocol::kShortPrefixDigits + password_.size() : 0;
  const std::size_t total = body.bytes.size() + password_bytes + protocol::kHeaderLength;
  if (total > protocol::kMaxMessageLength) return false;
  const std::uint32_t id = NextRequestId();
  request_id = id;
  diag::TraceLine("CRAVOExtension::BuildVEKACSMessage: Building request ID %u ... \n", id);
  message.clear();
  message.reserve(total);
  protocol::AppendHeader(message, version_, total, id, type, field_count + 1);
  message.append(body.bytes);
  if (password_fits) protocol::AppendField(message, password_, protocol::kShortPrefixDigits);
  return true;
}

bool BackendClient::StartWorker(const PendingJob& job, Connection& connection) {
  // std::function needs a copyable job: the connection travels in a shared
  // holder that only the worker ever empties.
  auto holder = std::make_shared<Connection>(std::move(connection));
  if (workers_.Run([job, holder] { job(std::move(*holder), std::string(), 0); })) return true;
  connection = std::move(*holder);
  return false;
}

bool BackendClient::BuildHeartbeat(const std::string& host, const std::string& application,
                                   const std::string& port, std::string& message) {
  MessageBody body;
  AppendMessageField(body, host);
  AppendMessageField(body, application);
  AppendMessageField(body, port);
  std::uint32_t id = 0;
  return Build(message, protocol::Number(protocol::MessageType::kHeartbeat), 3, body, id);
}

int BackendClient::SendHeartbeat(const std::string& web_server, const std::string& web_application,
                                 const HeartbeatTarget& target, bool* answered) {
  bool all_answered = target.plainInUse || target.tlsInUse;
  std::string message;
  if (target.plainInUse) {
    std::string response;
    std::string error;
    // Only the TLS heartbeat's answer is reported; this one is only sent.
    all_answered = BuildHeartbeat(web_server, web_application, target.plainPortText, message) &&
                   Communicate(message, response, error, nullptr, false);
  }
  int result = 0;
  if (target.tlsInUse) {
    result = -1;
    std::string response;
    std::string error;
    if (BuildHeartbeat(web_server, web_application, target.tlsPortText, message) &&
        Communicate(message, response, error, nullptr, true)) {
      const std::string code = protocol::ReadField(response, 0);
      result = static_cast<int>(text::ReadDigits(code, 0, code.size(), 10).value);
    } else {
      all_answered = false;
    }
  }
  if (answered != nullptr) *answered = all_answered;
  return result;
}

bool BackendClient::CopyStatistics(bool tls, void* buffer) const {
  const auto pool = PoolFor(tls);
  if (!pool || buffer == nullptr) return false;
  const PoolStatisticsBlock block = pool->GetStats();
  std::memcpy(buffer, &block, sizeof block);
  return true;
}

void BackendClient::TraceStatistics() const {
  for (const auto& pool : {plain_pool_, tls_pool_}) {
    if (pool) diag::Trace().WriteText(FormatPoolStatisticsReport(pool->GetStats()));
  }
}

bool BackendClient::Communicate(const std::string& request, std::string& response, std::string& error,
                                PendingJob* job, bool use_ssl, bool job_here) {
  if (diag::TraceOn()) {
    const std::tm now = platform::LocalNow();
    diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Entered - 3 retries time:%04d-%02d-%02d %02d:%02d:%02d \n",
                    now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::CommunicateWithVEKACS entering - 3 retries", "ISAPI", 0);
  bool result = true;
  bool retrying = false;
  const std::shared_ptr<ConnectionPool> pool = PoolFor(use_ssl);
  // A back end that restarts, or a balancer that times out idle connections,
  // leaves every idle connection closed at once. Those do not count against
  // the attempts, up to the pool's size of them; a back end that closes even
  // new connections still uses up the attempts soon after.
  int stale_left = pool != nullptr ? pool->MaxSize() : 0;
  for (int attempts = kAttempts; attempts > 0;) {
    Getting(use_ssl);
    bool seen_open = false;
    std::optional<Connection> reserved = ReservedConnection::Take(pool.get(), seen_open);
    Connection connection = reserved ? std::move(*reserved) : Generic::Borrow<TRSocket>(pool, retrying);
    // The module is stopping: an exchange not under way yet does not start,
    // whatever connection a waiter got as the others ended.
    if (connection && platform::WaitLimitPassed()) GiveBack(connection, true);
    if (!connection) {
      Retrieved(pool.get(), nullptr);
      diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Failed to get a socket from the pool\n");
      error = protocol::Text(protocol::Code::kNoConnection);
      diag::AddDiag(diag::kLevelWarn, "CRAVOExtension::CommunicateWithVEKACS failed to get socket from pool",
                    "ISAPI", __LINE__);
      result = false;
      break;
    }
    Retrieved(pool.get(), connection.get());
    if ((!reserved || !seen_open) && connection->IsClosed()) {
      FoundClosed(*connection);
      error = protocol::Text(protocol::Code::kNoConnection);
      result = false;
      GiveBack(connection, false);
      retrying = true;
      if (stale_left > 0) {
        --stale_left;
      } else {
        --attempts;
      }
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
                    static_cast<int>(request.size()), Handle(connection.get()));
    std::size_t sent = 0;
    // On the loop the send never waits: what the socket cannot take now goes
    // out from the loop, before the answer is read.
    int rc = connection->Send(request.data(), request.size(), sent, job_here ? 0 : kSendTimeoutSeconds, 0);
    const bool rest_later = job_here && rc == TRSocket::kSendWouldBlock;
    if (rest_later) rc = 0;
    // Half a request leaves the back end waiting for the rest, so no answer
    // can come: a short count is a failed send whatever the socket reported.
    if (rc == 0 && sent != request.size() && !rest_later) rc = ETIMEDOUT;
    if (rc != 0) {
      error = SendFailed(*connection, rc);
      result = false;
    } else {
      if (!rest_later) Sent(*connection, sent);
      if (job != nullptr) {
        if (job_here) {
          (*job)(std::move(connection), rest_later ? request.substr(sent) : std::string(), sent);
        } else if (!StartWorker(*job, connection)) {
          diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Cannot create worker thread\n");
          // The request is out and the back end acts on it: its answer is
          // read on this thread instead of the visitor being told it failed.
          (*job)(std::move(connection), std::string(), 0);
        }
        diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::CommunicateWithVEKACS leaving", "ISAPI", 0);
        diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Exiting successfully\n");
        return true;
      } else {
        result = ReadResponse(*connection, response, error);
      }
    }
    diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Returning %ssocket %08lX to pool ... \n",
                    result ? "" : "failed ", Handle(connection.get()));
    const unsigned long handle = Handle(connection.get());
    GiveBack(connection, result);
    diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Socket %08lX - socket returned to pool\n", handle);
    break;
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::CommunicateWithVEKACS leaving", "ISAPI", 0);
  diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Exiting %ssuccessfully\n", result ? "" : "un");
  return result;
}

bool BackendClient::ReadResponse(TRSocket& connection, std::string& response, std::string& error) {
  ResponseReader reader(connection);
  while (reader.Reading()) {
    const bool fill = reader.Needed() == reader.Wanted();
    std::size_t filled = 0;
    bool waited_out = false;
    int rc = 0;
    while (true) {
      std::size_t got = 0;
      rc = connection.Receive(reader.Target() + filled, reader.Wanted() - filled, got, waited_out,
                              ResponseReader::kReceiveTimeoutSeconds, 0, fill);
      filled += got;
      if (rc != 0 || waited_out || got == 0 || filled >= reader.Needed()) break;
    }
    reader.Received(rc, filled, waited_out);
  }
  return reader.Finish(response, error);
}

void BackendClient::Sent(const TRSocket& connection, std::size_t sent) {
  diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Send for socket %08lX OK, %d bytes sent\n",
                  Handle(&connection), static_cast<int>(sent));
}

std::string BackendClient::SendFailed(const TRSocket& connection, int rc) {
  diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Send for socket %08lX failed, rc=%d\n", Handle(&connection),
                  rc);
  diag::AddDiag(diag::kLevelWarn, "CRAVOExtension::CommunicateWithVEKACS cannot send on socket: " + std::to_string(rc),
                "ISAPI", __LINE__);
  return protocol::Text(protocol::Code::kExchangeFailed);
}

void BackendClient::Getting(bool use_ssl) {
  diag::TraceLine(use_ssl ? "CRAVOExtension::CommunicateWithVEKACS: Getting socket from SSL pool ... \n"
                          : "CRAVOExtension::CommunicateWithVEKACS: Getting socket from non-SSL pool ... \n");
}

void BackendClient::Retrieved(const ConnectionPool* pool, const TRSocket* connection) {
  diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: m_freeList.size = %d, m_inUseList.size = %d\n",
                  pool != nullptr ? pool->FreeCount() : 0, pool != nullptr ? pool->InUseCount() : 0);
  if (connection != nullptr) {
    diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Socket %08lX retrieved from pool\n", Handle(connection));
  }
}

void BackendClient::FoundClosed(const TRSocket& connection) {
  diag::TraceLine("CRAVOExtension::CommunicateWithVEKACS: Socket %08lX is CLOSED...trying to get another one.\n",
                  Handle(&connection));
}
