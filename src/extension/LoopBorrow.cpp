#include "extension/LoopBorrow.h"

#include <cerrno>
#include <utility>

#include "backend/SocketFactory.h"
#include "diag/TraceLog.h"
#include "platform/WaitLimit.h"

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t LoopTime(Clock::time_point when) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
}

// now + wait, but never past the module's wait limit.
std::int64_t DeadlineIn(std::chrono::milliseconds wait) {
  return LoopTime(Clock::now() + platform::CutToWaitLimit(wait));
}

}  // namespace

LoopBorrow::LoopBorrow(std::shared_ptr<Pool> pool, bool use_ssl, const RequestLoop& loop, Ready ready)
    : pool_(std::move(pool)),
      use_ssl_(use_ssl),
      loop_(loop),
      ready_(std::move(ready)),
      start_(Clock::now()),
      closed_left_(pool_->MaxSize() + 3) {
  waiter_.wake = &LoopBorrow::OnGranted;
  waiter_.context = this;
}

LoopBorrow::LoopBorrow(LoopBorrow& probe, Ready ready)
    : pool_(probe.pool_),
      use_ssl_(probe.use_ssl_),
      loop_(probe.loop_),
      ready_(std::move(ready)),
      start_(probe.start_),
      closed_left_(probe.closed_left_),
      retrying_(probe.retrying_),
      borrowing_(probe.borrowing_),
      held_(std::move(probe.held_)) {
  waiter_.wake = &LoopBorrow::OnGranted;
  waiter_.context = this;
}

std::optional<LoopBorrow::Connection> LoopBorrow::Start(std::shared_ptr<Pool> pool, bool use_ssl,
                                                        const RequestLoop& loop,
                                                        const std::function<Ready()>& make_ready, std::string& held,
                                                        bool& seen_open) {
  pool->CreateOnBorrow();
  // Most borrows find an idle connection: those end here, on the stack.
  LoopBorrow probe(std::move(pool), use_ssl, loop, nullptr);
  probe.probing_ = true;
  bool done = false;
  {
    const diag::TraceHold hold(probe.held_);
    done = probe.Step(true);
  }
  if (done) {
    held = std::move(probe.held_);
    seen_open = probe.seen_open_;
    return std::move(probe.result_);
  }
  std::unique_ptr<LoopBorrow> self(new LoopBorrow(probe, make_ready()));
  {
    const diag::TraceHold hold(self->held_);
    done = self->Step(true);
  }
  if (done) {
    held = std::move(self->held_);
    seen_open = self->seen_open_;
    return std::move(self->result_);
  }
  (void)self.release();  // owned by its waits from here on
  return std::nullopt;
}

bool LoopBorrow::Step(bool may_create) {
  phase_ = Phase::kClaiming;
  if (platform::WaitLimitPassed()) return Finish({});
  if (!std::exchange(borrowing_, true)) pool_->TraceBorrowStart(retrying_);
  if (probing_) {
    const Pool::Claim idle = pool_->ClaimIdle(retrying_);
    return idle.kind != Pool::Claim::Kind::kNone && Claimed(idle);
  }
  // The slice is armed before the borrower joins the queue. A grant arms its
  // own wait, which replaces the slice; armed after joining, the slice could
  // replace a grant's wait instead, and the borrow would hold its connection
  // with nothing left to call it back.
  if (!loop_.Wait(-1, 0, DeadlineIn(Pool::kWaitSlice), &LoopBorrow::OnEvent, this)) {
    diag::TraceLine("LoopBorrow: the host refused a wait\n");
    return Finish({});
  }
  const Pool::Claim claim = pool_->ClaimOrQueue(waiter_, retrying_, may_create);
  if (claim.kind != Pool::Claim::Kind::kNone) return Claimed(claim);
  phase_ = Phase::kQueued;
  if (!queued_since_) queued_since_ = Clock::now();
  return false;
}

bool LoopBorrow::Claimed(const Pool::Claim& claim) {
  switch (claim.kind) {
    case Pool::Claim::Kind::kObject: {
      Connection connection(pool_, claim.object);
      if (!connection->IsClosed()) {
        seen_open_ = true;
        return Finish(std::move(connection));
      }
      // Closed by the back end while idle: as the exchange's own borrow would.
      pool_->TraceBorrowEnd(retrying_, connection.get());
      BackendClient::Retrieved(pool_.get(), connection.get());
      BackendClient::FoundClosed(*connection);
      (void)connection.Fail();
      retrying_ = true;
      borrowing_ = false;
      if (--closed_left_ < 0) return Finish({});
      BackendClient::Getting(use_ssl_);
      return Step(true);
    }
    case Pool::Claim::Kind::kRoom:
      pool_->TraceCreateStart();
      return Connect();
    case Pool::Claim::Kind::kClosed:
    case Pool::Claim::Kind::kNone:
      break;
  }
  return Finish({});
}

bool LoopBorrow::Connect() {
  phase_ = Phase::kConnecting;
  const auto* factory = dynamic_cast<const SocketFactory*>(pool_->Factory().get());
  if (factory == nullptr) {
    // A factory of another kind connects as it does, on this thread.
    TRSocket* made = pool_->Adopt(pool_->CreateObject());
    pool_->TraceCreated(made);
    return made != nullptr ? Finish(Connection(pool_, made)) : Step(false);
  }
  // One limit for the whole connect, as a blocking borrower's.
  connect_deadline_ = DeadlineIn(std::chrono::seconds(TRSocket::kConnectTimeoutSeconds));
  connecting_ = factory->Open();
  if (!connecting_) {
    pool_->GiveUpRoom();
    pool_->TraceCreated(nullptr);
    return Step(false);
  }
  return ConnectStepped(connecting_->StartConnect(factory->options.host, factory->options.port, to_write_));
}

bool LoopBorrow::ConnectStepped(int result) {
  if (result == TRSocket::kConnectPending) {
    const std::uint32_t events = to_write_ ? QX_LOOP_WRITABLE : QX_LOOP_READABLE;
    if (loop_.Wait(connecting_->handle(), events, connect_deadline_, &LoopBorrow::OnEvent, this)) {
      return false;
    }
    result = connecting_->ConnectWaitFailed(ECANCELED);
  }
  std::unique_ptr<TRSocket> socket = SocketFactory::Connected(std::move(connecting_), result);
  TRSocket* made = pool_->Adopt(std::move(socket));
  pool_->TraceCreated(made);
  if (made != nullptr) return Finish(Connection(pool_, made));
  // As in a blocking borrow: wait for a connection given back, or a slice.
  return Step(false);
}

bool LoopBorrow::Finish(Connection connection) {
  // A slice armed for a queue the borrower never joined must not call back
  // a borrower that is done.
  if (!probing_) loop_.Cancel();
  if (std::exchange(borrowing_, false)) pool_->TraceBorrowEnd(retrying_, connection.get());
  if (queued_since_ && connection) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *queued_since_);
    pool_->RecordWait(static_cast<std::int32_t>(waited.count()));
  }
  result_ = std::move(connection);
  return true;
}

void LoopBorrow::Deliver() {
  Connection connection = result_ ? std::move(*result_) : Connection();
  ready_(std::move(connection), abandoned_, std::move(held_), seen_open_);
}

void LoopBorrow::OnGranted(void* context) {
  auto* self = static_cast<LoopBorrow*>(context);
  // Granted on whichever thread gave back or failed a connection: the rest
  // happens on the request's loop. A deadline already passed calls back at
  // once; it replaces the queue's slice, whose own call, if already under
  // way, finds the grant and leaves the rest to this one.
  if (!self->loop_.Wait(-1, 0, 1, &LoopBorrow::OnGrantEvent, self)) {
    diag::TraceLine("LoopBorrow: the host refused a wait\n");
  }
}

void LoopBorrow::OnGrantEvent(void* context, std::uint32_t events) {
  auto* self = static_cast<LoopBorrow*>(context);
  bool done = false;
  {
    const diag::TraceHold hold(self->held_);
    done = self->GrantEvent(events);
  }
  if (done) {
    self->Deliver();
    delete self;
  }
}

void LoopBorrow::OnEvent(void* context, std::uint32_t events) {
  auto* self = static_cast<LoopBorrow*>(context);
  bool done = false;
  {
    const diag::TraceHold hold(self->held_);
    done = self->Event(events);
  }
  if (done) {
    self->Deliver();
    delete self;
  }
}

bool LoopBorrow::GrantEvent(std::uint32_t events) {
  const Pool::Claim claim = waiter_.claim;
  if ((events & QX_LOOP_ABANDONED) != 0) {
    if (claim.kind == Pool::Claim::Kind::kObject) {
      Connection unused(pool_, claim.object);
      (void)unused.Release();  // never used: as sound as it came
    } else if (claim.kind == Pool::Claim::Kind::kRoom) {
      pool_->GiveUpRoom();
    }
    Abandon();
    return true;
  }
  return Claimed(claim);
}

bool LoopBorrow::Event(std::uint32_t events) {
  const bool abandoned = (events & QX_LOOP_ABANDONED) != 0;
  switch (phase_) {
    case Phase::kQueued:
      // Granted meanwhile: the grant's own call carries on.
      if (!pool_->Withdraw(waiter_)) return false;
      if (abandoned) {
        Abandon();
        return true;
      }
      if (std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start_).count() > Pool::kGetTimeoutSeconds ||
          platform::WaitLimitPassed()) {
        return Finish({});
      }
      return Step(true);
    case Phase::kConnecting:
      if (abandoned) {
        connecting_.reset();
        pool_->GiveUpRoom();
        Abandon();
        return true;
      }
      if ((events & (QX_LOOP_READABLE | QX_LOOP_WRITABLE)) != 0) {
        return ConnectStepped(connecting_->ContinueConnect(to_write_));
      }
      return ConnectStepped(connecting_->ConnectWaitFailed(TRSocket::kWaitTimedOut));
    case Phase::kClaiming:
      break;
  }
  return false;
}

void LoopBorrow::Abandon() {
  abandoned_ = true;
  result_ = Connection();
}
