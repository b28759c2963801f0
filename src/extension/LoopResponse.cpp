#include "extension/LoopResponse.h"

#include <cerrno>
#include <chrono>
#include <utility>

#include "backend/BackendClient.h"
#include "diag/TraceLog.h"
#include "platform/FileSnapshots.h"

namespace {

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t ReceiveLimitFromNow() {
  return NowNs() + std::chrono::nanoseconds(std::chrono::seconds(ResponseReader::kReceiveTimeoutSeconds)).count();
}

std::int64_t SendLimitFromNow() {
  return NowNs() + std::chrono::nanoseconds(std::chrono::seconds(BackendClient::kSendTimeoutSeconds)).count();
}

}  // namespace

LoopResponse::LoopResponse(std::unique_ptr<AsyncRequestInfo> info, const RequestLoop& loop, Finish finish)
    : info_(std::move(info)), loop_(loop), finish_(std::move(finish)) {}

bool LoopResponse::Start(std::unique_ptr<AsyncRequestInfo>& info, const RequestLoop& loop, Finish finish,
                         const std::string& unsent, std::size_t sent) {
  std::unique_ptr<LoopResponse> self(new LoopResponse(std::move(info), loop, std::move(finish)));
  self->unsent_ = unsent;
  self->request_size_ = sent + unsent.size();
  self->deadline_ns_ = unsent.empty() ? ReceiveLimitFromNow() : SendLimitFromNow();
  // The response cannot be there before the request went out, so the first
  // step waits for it (or for room to send the rest); the trace of the read
  // begins there, as on a worker. The rest of the call's lines come before
  // those of the answer, as they do where a worker reads it, and after those
  // of a send that has to wait (a worker's call would still be waiting in
  // it); without such a send they go out as the call ends.
  if (!unsent.empty() || diag::TraceOn()) {
    self->held_ = HeldCallTrace::Begin();
    if (unsent.empty()) self->held_->Write();
  }
  if (!self->WaitForData()) {
    if (self->held_) {
      HeldCallTrace::CallEnded();
      self->held_->Write();
    }
    info = std::move(self->info_);
    return false;
  }
  (void)self.release();  // owned by its waits from here on
  return true;
}

bool LoopResponse::WaitForData() {
  const std::uint32_t events = info_->connection->WaitsToWrite() ? QX_LOOP_WRITABLE : QX_LOOP_READABLE;
  return loop_.Wait(info_->connection->handle(), events, deadline_ns_, &LoopResponse::OnEvent, this);
}

void LoopResponse::OnEvent(void* context, std::uint32_t events) {
  // The response handler's page is read here, as its own request would.
  const platform::FileCheckScope files;
  auto* self = static_cast<LoopResponse*>(context);
  if (self->Step(events)) delete self;
}

bool LoopResponse::SendRest(std::uint32_t events) {
  int rc = ECANCELED;
  if ((events & QX_LOOP_ABANDONED) == 0) {
    std::size_t sent = 0;
    rc = info_->connection->Send(unsent_.data() + unsent_done_, unsent_.size() - unsent_done_, sent, 0, 0);
    unsent_done_ += sent;
    if (rc == TRSocket::kSendWouldBlock) {
      if (sent > 0) deadline_ns_ = SendLimitFromNow();
      rc = NowNs() < deadline_ns_ ? 0 : ETIMEDOUT;
      if (rc == 0) {
        if (WaitForData()) return false;
        rc = ECANCELED;  // the host refused: the request is over for it
      }
    }
  }
  if (rc == 0) {
    BackendClient::Sent(*info_->connection, request_size_);
    deadline_ns_ = ReceiveLimitFromNow();
  } else {
    send_error_ = BackendClient::SendFailed(*info_->connection, rc);
  }
  unsent_.clear();
  unsent_done_ = 0;
  return true;
}

bool LoopResponse::Step(std::uint32_t events) {
  // Called back on another thread while the call that sent the request still
  // runs (its loop handed on): its lines go first, so look again shortly.
  if (held_ && !held_->CallOver() && (events & QX_LOOP_ABANDONED) == 0 &&
      loop_.Wait(-1, 0, NowNs() + std::chrono::nanoseconds(std::chrono::milliseconds(1)).count(),
                 &LoopResponse::OnEvent, this)) {
    return false;
  }
  if (!unsent_.empty()) {
    if (!SendRest(events)) return false;
    if (held_) std::exchange(held_, nullptr)->Write();
    if (!send_error_.empty()) {
      finish_(std::move(info_), false, {}, send_error_);
      return true;
    }
    if (WaitForData()) return false;
    events = QX_LOOP_ABANDONED;  // the host refused: the request is over for it
  }
  if (held_) std::exchange(held_, nullptr)->Write();
  if (!reader_) {
    diag::TraceLine("CRAVOExtension::AsyncThreadProc: Entered\n");
    reader_.emplace(*info_->connection);
  }
  while (reader_->Reading()) {
    if ((events & QX_LOOP_ABANDONED) != 0) {
      reader_->Received(ECANCELED, filled_, false);
      break;
    }
    std::size_t got = 0;
    bool would_block = false;
    const int rc = info_->connection->Receive(reader_->Target() + filled_, reader_->Wanted() - filled_, got,
                                              would_block, 0, 0, reader_->Needed() == reader_->Wanted());
    filled_ += got;
    if (rc == 0 && !would_block && got > 0 && filled_ < reader_->Needed()) {
      deadline_ns_ = ReceiveLimitFromNow();  // a piece of the header: read on
      continue;
    }
    if (rc == 0 && would_block) {
      const std::int64_t now = NowNs();
      if (got > 0) deadline_ns_ = ReceiveLimitFromNow();
      if (now < deadline_ns_) {
        if (WaitForData()) return false;
        // The host refused: the request is over for it.
        reader_->Received(ECANCELED, filled_, false);
      } else {
        reader_->Received(0, filled_, true);
      }
    } else {
      reader_->Received(rc, filled_, false);  // complete, closed or failed
    }
    filled_ = 0;
    deadline_ns_ = ReceiveLimitFromNow();
  }
  std::string response;
  std::string error;
  const bool ok = reader_->Finish(response, error);
  reader_.reset();
  finish_(std::move(info_), ok, response, error);
  return true;
}
