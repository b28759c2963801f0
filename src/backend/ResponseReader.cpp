#include "backend/ResponseReader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "platform/Clock.h"
#include "protocol/Codes.h"

namespace {

constexpr std::size_t kHeaderBytes = protocol::kLengthPrefixBytes;
constexpr long long kMaxResponseLength = 500000;
constexpr long kSlowResponseSeconds = 20;

}  // namespace

ResponseReader::ResponseReader(TRSocket& connection)
    : connection_(connection),
      handle_(static_cast<unsigned long>(static_cast<unsigned>(connection.handle()))),
      start_(std::time(nullptr)) {
  if (diag::TraceOn()) {
    int local_port = 0;
    connection_.GetHostName(nullptr, local_port);
    const std::tm now = platform::LocalNow();
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Entered 3 retries time:%04d-%02d-%02d %02d:%02d:%02d port: %d\n",
                    now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, local_port);
  }
  diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Receiving %d bytes from socket %08lX (timeout = 50 s)... \n",
                  static_cast<int>(kHeaderBytes), handle_);
}

char* ResponseReader::Target() {
  return phase_ == Phase::kHeader ? header_ : buffer_.data() + kHeaderBytes + body_read_;
}

std::size_t ResponseReader::Wanted() const {
  switch (phase_) {
    case Phase::kHeader:
      return sizeof header_;
    case Phase::kBody:
      return buffer_.size() - kHeaderBytes - body_read_;
    case Phase::kDone:
      break;
  }
  return 0;
}

std::size_t ResponseReader::Needed() const { return phase_ == Phase::kHeader ? kHeaderBytes : Wanted(); }

void ResponseReader::ProtocolError(const char* text) {
  error_ = text;
  diag::AddDiag(diag::kLevelSevr, text, ".\\RAVO", __LINE__);
}

void ResponseReader::ReceiveFailed(int rc) {
  error_ = protocol::Text(protocol::Code::kExchangeFailed);
  diag::AddDiag(diag::kLevelWarn, "CRAVOExtension::GetVEKACSResponse cannot receive on socket: " + std::to_string(rc),
                "ISAPI", __LINE__);
}

void ResponseReader::TimedOut() {
  diag::TraceLine("CRAVOExtension::GetVEKACSResponse: %d seconds timeout occurred on socket %08lX - protocol error\n",
                  kReceiveTimeoutSeconds, handle_);
  ProtocolError("Socket Timeout - Protocol Error!");
}

void ResponseReader::Closed() {
  diag::TraceLine("CRAVOExtension::GetVEKACSResponse: 0 bytes received on socket %08lX - protocol error\n", handle_);
  ProtocolError("0 bytes received - Socket closed - Protocol Error!");
}

void ResponseReader::Received(int rc, std::size_t got, bool waited_out) {
  const Phase phase = phase_;
  phase_ = Phase::kDone;
  if (phase == Phase::kHeader) {
    if (rc != 0) {
      diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Receive on socket %08lX failed, rc=%d\n", handle_, rc);
      ReceiveFailed(rc);
    } else if (waited_out) {
      TimedOut();
    } else if (got == 0) {
      Closed();
    } else if (got < kHeaderBytes) {
      diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Expected %d but received %d bytes on socket %08lX - protocol error\n",
                      static_cast<int>(kHeaderBytes), static_cast<int>(got), handle_);
      ProtocolError("Header length mismatch - Protocol Error!");
    } else {
      const bool short_of_room = got < sizeof header_;
      extra_ = got - kHeaderBytes;
      HeaderReceived(kHeaderBytes);
      if (phase_ != Phase::kBody) return;
      body_read_ = std::min(extra_, buffer_.size() - kHeaderBytes);
      std::memcpy(buffer_.data() + kHeaderBytes, header_ + kHeaderBytes, body_read_);
      extra_ -= body_read_;
      // Whole already: judged as a body receive that got all of it.
      if (body_read_ == buffer_.size() - kHeaderBytes) {
        nothing_left_ = short_of_room && connection_.ShortReceiveDrains();
        BodyReceived(0, 0, false);
      }
    }
    return;
  }
  if (phase == Phase::kBody) BodyReceived(rc, got, waited_out);
}

void ResponseReader::BodyReceived(int rc, std::size_t got, bool waited_out) {
  phase_ = Phase::kDone;
  got += body_read_;
  const std::size_t body_length = buffer_.size() - kHeaderBytes;
  if (rc != 0) {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Receive on socket %08lX failed, nSocketError=%d\n", handle_,
                    rc);
    ReceiveFailed(rc);
  } else if (waited_out) {
    TimedOut();
  } else if (got == body_length && got != 0) {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Received %d bytes successfully on socket %08lX\n",
                    static_cast<int>(got), handle_);
    result_ = true;
  } else if (got != 0) {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Expected %d but received %d bytes on socket %08lX - protocol error\n",
                    static_cast<int>(body_length), static_cast<int>(got), handle_);
    ProtocolError("Message length mismatch - Response Error!");
  } else {
    Closed();
  }
}

void ResponseReader::HeaderReceived(std::size_t got) {
  diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Received %d bytes on socket %08lX successfully\n",
                  static_cast<int>(got), handle_);
  const protocol::Header read = protocol::ReadHeader(std::string_view(header_, kHeaderBytes));
  const long long length = read.length;
  // A length below the header's own size could not frame any response.
  if (length > kMaxResponseLength || length < static_cast<long long>(kHeaderBytes)) {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Ridiculous length %d for incoming response on socket %08lX - protocol error\n",
                    static_cast<int>(length), handle_);
    ProtocolError("Protocol Error!");
    return;
  }
  diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Get response on socket %08lX for request ID %u\n", handle_,
                  static_cast<unsigned>(read.id));
  try {
    buffer_.resize(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Unexpected exception allocating on stack\n");
    ProtocolError("Internal Error!  Insufficient stack memory space to operate!");
    return;
  }
  buffer_.replace(0, kHeaderBytes, header_, kHeaderBytes);
  diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Receiving %d bytes from socket %08lX ... \n",
                  static_cast<int>(buffer_.size() - kHeaderBytes), handle_);
  phase_ = Phase::kBody;
}

bool ResponseReader::Finish(std::string& response, std::string& error) {
  phase_ = Phase::kDone;
  if (result_) {
    response = std::move(buffer_);
  } else {
    error = error_;
  }
  std::size_t discarded = 0;
  int flush_rc = 0;
  if (!nothing_left_) flush_rc = connection_.Flush(discarded);
  discarded += extra_;
  if (flush_rc != 0) {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Flush on socket %08lX failed, rc=%d\n", handle_, flush_rc);
    connection_.Close();
  } else if (discarded > 0) {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Flushed %d bytes from socket %08lX\n",
                    static_cast<int>(discarded), handle_);
  }
  const long elapsed = static_cast<long>(std::time(nullptr) - start_);
  if (elapsed > kSlowResponseSeconds) {
    diag::TraceLine("Attention!!! CRAVOExtension::GetVEKACSResponse: Exiting %ssuccessfully, taking %d seconds\n",
                    result_ ? "" : "un", static_cast<int>(elapsed));
  } else {
    diag::TraceLine("CRAVOExtension::GetVEKACSResponse: Exiting %ssuccessfully, taking %d seconds\n",
                    result_ ? "" : "un", static_cast<int>(elapsed));
  }
  return result_;
}
