// The extension's link to the back end: the plain and TLS connection pools,
// the request id counter and password, building requests, the exchange over a
// borrowed connection, the heartbeat, and the threads that wait for the
// responses of pending requests. It knows nothing of pages or handlers: a
// pending request is a job that receives its connection on a worker thread.
//
// Threads: StartPlainPool, StartTlsPool and StopWorkers run on the host's
// start and stop thread, never beside a request; everything else runs on any
// thread at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "backend/WorkerThreads.h"
#include "generic/Pool.h"
#include "backend/SocketFactory.h"
#include "protocol/Message.h"

class BackendClient {
 public:
  using ConnectionPool = Generic::Pool<SocketPool>;
  using Connection = Generic::Lease<TRSocket>;
  // Runs on a worker thread once the request went out; it owns the
  // connection, which goes back to its pool whatever the job does with it.
  // unsent: the end of the request the socket could not take without
  // waiting (only for a job run here, on an event loop), for the job to send
  // before it reads the answer; sent: the bytes before it.
  using PendingJob = std::function<void(Connection connection, std::string unsent, std::size_t sent)>;

  // Each wait of a send for the socket to take more lasts at most this long.
  static constexpr int kSendTimeoutSeconds = 90;

  struct PoolSettings {
    std::string host;
    int port = 0;
    int minSockets = 10;
    int maxSockets = 20;
  };

  // version: the header's version text; the id counter starts at first_id.
  BackendClient(std::string version, std::uint32_t first_id);
  // Waits for the worker threads (a job past its limit is left to finish on
  // its own). Pools with connections still lent live on until they are back.
  ~BackendClient();
  BackendClient(const BackendClient&) = delete;
  BackendClient& operator=(const BackendClient&) = delete;

  // Before the pools start: the scrambled password every request carries.
  void SetPassword(std::string scrambled) { password_ = std::move(scrambled); }
  // Creates the plain pool, or the TLS pool (whose sockets need the TLS layer
  // loaded first), once each. factory makes the pool's connections instead of
  // one connecting to settings' host and port, so that tests can hand out
  // sockets that misbehave.
  void StartPlainPool(const PoolSettings& settings,
                      std::shared_ptr<Generic::FactoryInterface<TRSocket>> factory = nullptr);
  void StartTlsPool(const PoolSettings& settings,
                    std::shared_ptr<Generic::FactoryInterface<TRSocket>> factory = nullptr);

  // The pool a service uses, or null when it was not created.
  std::shared_ptr<ConnectionPool> PoolFor(bool use_ssl) const;

  std::uint32_t NextRequestId() { return request_id_.fetch_add(1, std::memory_order_relaxed) + 1; }
  void SetRequestIdCounter(std::uint32_t value) { request_id_.store(value, std::memory_order_relaxed); }

  // Builds a request of type from field_count caller fields and the password
  // field. False for a type outside 10..1011 or a field too long for its
  // prefix; message and request_id are then untouched.
  [[nodiscard]] bool Build(std::string& message, int type, int field_count, const MessageBody& body,
                           std::uint32_t& request_id);

  // Sends request over a pooled connection. Connections the back end has
  // closed are given back as failed and another one is taken, up to the
  // pool's size of them plus three: a back end that closed all its idle
  // connections costs no request an error, one that closes every connection
  // still fails in bounded time. A send that does not get the whole request
  // out fails the exchange. Without a job: waits for the response (true:
  // response holds it). With a job: hands the connection to it on a worker
  // thread (true: the job owns the exchange from here on). False: error holds
  // "1002" or "1003" or a protocol error text, and the job has not run and
  // never will. response and error may be the same string. job_here runs
  // the job on the calling thread instead, before the trace says the
  // exchange is under way: it must only start what completes elsewhere; the
  // send then never waits, and what it could not send goes to the job.
  [[nodiscard]] bool Communicate(const std::string& request, std::string& response, std::string& error,
                                 PendingJob* job, bool use_ssl, bool job_here = false);
  // The trace and records of a send that ended, wherever it ended: sent
  // bytes in all; and a failure with rc, giving the error code to answer.
  static void Sent(const TRSocket& connection, std::size_t sent);
  // The trace of a borrow for an exchange, of what it got (connection null:
  // nothing), and of an idle connection found closed, skipped for another.
  static void Getting(bool use_ssl);
  static void Retrieved(const ConnectionPool* pool, const TRSocket* connection);
  static void FoundClosed(const TRSocket& connection);
  static std::string SendFailed(const TRSocket& connection, int rc);
  // Reads one response from connection; leaves the connection closed when
  // what remains on it could not be discarded.
  [[nodiscard]] bool ReadResponse(TRSocket& connection, std::string& response, std::string& error);

  // Heartbeats over the pools in use; the TLS one's return code, -1 when it
  // failed, 0 when only the plain pool is in use. answered, when given, tells
  // whether every heartbeat sent got an answer.
  struct HeartbeatTarget {
    bool plainInUse = false;
    bool tlsInUse = false;
    std::string plainPortText;
    std::string tlsPortText;
  };
  int SendHeartbeat(const std::string& web_server, const std::string& web_application,
                    const HeartbeatTarget& target, bool* answered = nullptr);
  // A heartbeat request naming host, application and port.
  [[nodiscard]] bool BuildHeartbeat(const std::string& host, const std::string& application, const std::string& port,
                                    std::string& message);

  // Waits up to limit for the worker threads; how many were still busy.
  int StopWorkers(std::chrono::milliseconds limit) { return workers_.Stop(limit); }

  // The 64-byte block of the plain or TLS pool; false when it does not exist.
  bool CopyStatistics(bool tls, void* buffer) const;
  // Appends the statistics report of each pool to the trace file.
  void TraceStatistics() const;

 private:
  // Runs job with connection on a worker thread; false (connection still the
  // caller's) when no thread could be had.
  bool StartWorker(const PendingJob& job, Connection& connection);
  static void StartPool(std::shared_ptr<ConnectionPool>& pool, bool use_ssl, const PoolSettings& settings,
                        std::shared_ptr<Generic::FactoryInterface<TRSocket>> factory);

  const std::string version_;
  std::string password_;  // written before the pools start, read-only afterwards
  std::atomic<std::uint32_t> request_id_;
  std::shared_ptr<ConnectionPool> plain_pool_;  // written only while starting
  std::shared_ptr<ConnectionPool> tls_pool_;
  // Last, so that it is destroyed first: jobs still running may use the pools.
  WorkerThreads workers_;
};
