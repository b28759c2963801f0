// Reading one response of the back end off a connection: a header, then the
// body its length names, then whatever else is waiting is discarded. The
// reader says what to receive next and judges each outcome, with the trace
// lines and diagnostics records of every path; who receives (a thread that
// waits, or a loop driven by readiness) is the caller's business.
// The header's receive asks for more than the header: a small answer comes
// whole in one receive, and when that receive came up short of its room on
// a socket whose short receive means nothing more was there, the drain at
// the end has nothing to find and is skipped. What it took beyond the
// answer counts as drained.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

#include "net/TRSocket.h"
#include "protocol/Message.h"

class ResponseReader {
 public:
  // How long a receive may wait for the next bytes.
  static constexpr int kReceiveTimeoutSeconds = 50;

  explicit ResponseReader(TRSocket& connection);

  // Where the bytes go that are to be received next, how many there is room
  // for, and how many must come before Received judges them (Needed bytes
  // at least, filling up to Wanted when more are there); nothing once
  // Reading is false.
  bool Reading() const { return phase_ != Phase::kDone; }
  char* Target();
  std::size_t Wanted() const;
  std::size_t Needed() const;
  // What receiving into Target came to: an error rc, the bytes got (Needed
  // of them unless the receive failed, ran out or met the end), and whether
  // the wait for the rest ran out.
  void Received(int rc, std::size_t got, bool waited_out);
  // Discards what is left on the connection (closing it when that fails) and
  // traces the end. True with response set when the whole response came.
  bool Finish(std::string& response, std::string& error);

 private:
  enum class Phase { kHeader, kBody, kDone };

  void ProtocolError(const char* text);
  void ReceiveFailed(int rc);
  void TimedOut();
  void Closed();
  void HeaderReceived(std::size_t got);
  void BodyReceived(int rc, std::size_t got, bool waited_out);
  // Room for what may follow the header in the same receive: a poll's
  // answer and then some, while a loop's reader, held in its response
  // object, stays small enough for the allocator's fast per-thread cache.
  static constexpr std::size_t kReadAheadBytes = 512;

  TRSocket& connection_;
  const unsigned long handle_;
  const std::time_t start_;
  Phase phase_ = Phase::kHeader;
  char header_[protocol::kLengthPrefixBytes + kReadAheadBytes];
  std::size_t body_read_ = 0;      // of the body, taken with the header
  std::size_t extra_ = 0;          // taken with the header, past the answer
  bool nothing_left_ = false;      // a receive came up short on a plain socket
  std::string buffer_;
  std::string error_;
  bool result_ = false;
};
