// Borrows a pooled connection for a request on the host's event loop
// without waiting: an idle one at once, else a new one connected (TLS
// handshake included) in steps driven by readiness, else a place in the
// pool's queue with the pool's own time limit as a deadline on the loop.
// Idle connections the back end has closed are given back as broken and
// another is taken, up to the pool's size of them plus three, as a blocking
// borrower's attempts would. A request the host gives up while it waits (its
// client left, its time ran out, the host stops) leaves the queue, or gives
// back what it was granted, and no connection is lost. Its trace lines are
// those a blocking borrow in the exchange writes, held back for the exchange
// to write where it borrows.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "backend/BackendClient.h"
#include "isapi/EventLoopService.h"

class LoopBorrow {
 public:
  using Pool = BackendClient::ConnectionPool;
  using Connection = BackendClient::Connection;
  // On the loop, once the borrow ended: the connection, or an empty one when
  // the pool had none within its limit; abandoned when the host gave the
  // request up (the connection, if any, is then the callee's to give back);
  // the trace lines held back; seen_open when an idle connection was just
  // found open, so that the exchange need not look again.
  using Ready = std::function<void(Connection connection, bool abandoned, std::string held, bool seen_open)>;

  // What could be had at once (then held and seen_open say what they say to
  // ready), or nothing yet: then make_ready was called, once, for the ready
  // that runs later. A borrow that ends at once makes none, so that what a
  // ready keeps costs nothing then. use_ssl: the pool is the TLS one.
  static std::optional<Connection> Start(std::shared_ptr<Pool> pool, bool use_ssl, const RequestLoop& loop,
                                         const std::function<Ready()>& make_ready, std::string& held,
                                         bool& seen_open);

 private:
  enum class Phase { kClaiming, kQueued, kConnecting };

  LoopBorrow(std::shared_ptr<Pool> pool, bool use_ssl, const RequestLoop& loop, Ready ready);
  // The borrow a probe began, carried on where waits can reach it.
  LoopBorrow(LoopBorrow& probe, Ready ready);

  // Goes as far as it can without waiting: true when the borrow ended,
  // result holding its outcome; false when a wait is armed.
  bool Step(bool may_create);
  bool Claimed(const Pool::Claim& claim);
  bool Connect();
  bool ConnectStepped(int result);
  bool Finish(Connection connection);
  void Deliver();

  static void OnGranted(void* context);
  static void OnGrantEvent(void* context, std::uint32_t events);
  static void OnEvent(void* context, std::uint32_t events);
  // One callback's work: true when the borrow is over and the object must go.
  bool Event(std::uint32_t events);
  bool GrantEvent(std::uint32_t events);
  void Abandon();

  const std::shared_ptr<Pool> pool_;
  const bool use_ssl_;
  const RequestLoop loop_;
  const Ready ready_;
  // On the caller's stack, taking only an idle connection: Step gives false,
  // with nothing armed or queued, where it would have to wait.
  bool probing_ = false;
  Pool::Waiter waiter_;
  Phase phase_ = Phase::kClaiming;
  const std::chrono::steady_clock::time_point start_;
  std::optional<std::chrono::steady_clock::time_point> queued_since_;
  int closed_left_;      // idle connections found closed still allowed
  bool retrying_ = false;
  bool borrowing_ = false;  // the trace has the start of the borrow under way
  std::string held_;        // trace lines, for the exchange to write
  std::unique_ptr<TRSocket> connecting_;
  std::int64_t connect_deadline_ = 0;  // on the loop's clock: the connect gives up
  bool to_write_ = false;  // the connect under way waits to write
  bool abandoned_ = false;
  bool seen_open_ = false;  // result_ is an idle one just found open
  std::optional<Connection> result_;
};
