// Reading one response of the back end off a connection: a header, then the
// body its length names, then whatever else is waiting is discarded. The
// reader says what to receive next and judges each outcome, with the trace
// lines and diagnostics records of every path; who receives (a thread that
// waits, or a loop driven by readiness) is the caller's business.
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

  // Where the bytes go that are to be received next, and how many; nothing
  // once Reading is false.
  bool Reading() const { return phase_ != Phase::kDone; }
  char* Target();
  std::size_t Wanted() const;
  // What receiving Wanted bytes into Target came to: an error rc, the bytes
  // got, and whether the wait for the rest ran out.
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

  TRSocket& connection_;
  const unsigned long handle_;
  const std::time_t start_;
  Phase phase_ = Phase::kHeader;
  char header_[protocol::kLengthPrefixBytes];
  std::string buffer_;
  std::string error_;
  bool result_ = false;
};
