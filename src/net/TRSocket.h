// A blocking TCP client socket with a timeout per wait for readiness. Every
// wait (connect, send, receive) also ends by the module's wait limit once its
// stop imposes one (platform/WaitLimit.h): it then looks like a timeout.
//
// Results: 0 is success, anything else an errno value. A receive that times
// out or meets an orderly close by the peer is not an error: it comes back
// through the out-parameters. One thread uses a socket at a time; the class has no locks.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "platform/WaitLimit.h"

class TRSocket {
 public:
  static constexpr int kInvalidSocket = -1;
  // Fixed results where no errno applies.
  static constexpr int kErrorInvalidAddress = 10022;
  static constexpr int kErrorHostIsBroadcast = 10107;
  // A connect that takes longer than this gives up with ETIMEDOUT, so that an
  // unreachable back end cannot hold a request thread for minutes.
  static constexpr int kConnectTimeoutSeconds = 10;

  TRSocket() = default;
  TRSocket(const TRSocket&) = delete;
  TRSocket& operator=(const TRSocket&) = delete;
  virtual ~TRSocket();

  // Opens a socket of type and binds it to port and bind_address (any
  // interface when null).
  virtual int Create(int port, int type, const char* bind_address);
  // -1 when nothing was open, else close's result. Safe to repeat.
  virtual int Close();
  // Connects, all steps below (a TLS handshake's included) within
  // kConnectTimeoutSeconds.
  virtual int Connect(const std::string& host, int port);
  // Connecting without waiting, for a caller with an event loop: 0 when
  // connected, kConnectPending when the socket must first become ready for
  // reading, or for writing when to_write (then ContinueConnect), else what Connect
  // would return. A wait that fails (kWaitTimedOut, else an errno value)
  // ends the connect through ConnectWaitFailed, which returns the result.
  static constexpr int kConnectPending = -2;
  static constexpr int kWaitTimedOut = 1;
  virtual int StartConnect(const std::string& host, int port, bool& to_write);
  virtual int ContinueConnect(bool& to_write);
  virtual int ConnectWaitFailed(int waited);
  // Reads up to length bytes into buffer. fill: keep reading until length
  // bytes are in. Each wait for data lasts at most timeout_s seconds (negative:
  // no limit); a wait that runs out sets timed_out and returns 0.
  virtual int Receive(char* buffer, std::size_t length, std::size_t& received, bool& timed_out,
                      int timeout_s, int flags, bool fill);
  // Writes length bytes, waiting at most timeout_s seconds (-1: no limit)
  // each time the socket is not writable. A wait that runs out is ETIMEDOUT,
  // with sent telling how far it got: part of a message is on the wire, so
  // the connection is out of step and serves no further exchange.
  // A timeout_s of 0 never waits: a socket that cannot take more now gives
  // kSendWouldBlock, with sent telling how far it got and WaitsToWrite
  // which readiness lets it go on (TLS may have to read first).
  virtual int Send(const char* data, std::size_t length, std::size_t& sent, int timeout_s,
                   int flags);
  static constexpr int kSendWouldBlock = -3;
  // Reads and discards what is waiting without waiting for more.
  virtual int Flush(std::size_t& discarded);
  // True when a receive that filled less than its room proves nothing more
  // was waiting then, so a Flush right after would find nothing: so for a
  // plain socket, not for TLS, whose receive may stop at a record's end.
  virtual bool ShortReceiveDrains() const { return true; }

  int Bind(int port, const char* bind_address);
  // True when the socket cannot serve another exchange: unopened, closed by
  // the peer or in error. Pending bytes stay unread.
  bool IsClosed() const;
  // Local address (written to address when given) and port; traces them.
  int GetHostName(std::string* address, int& port) const;

  int handle() const { return handle_; }
  // True when the last Receive that ran out of its timeout, or the last Send
  // that would have blocked, was waiting to write: TLS may have to write
  // before it can read on, or read before it can write on.
  bool WaitsToWrite() const { return waits_to_write_; }

 protected:
  // IsClosed for an open handle: true when the peer has ended the connection
  // or it is in error; data waiting to be read does not close it.
  virtual bool PeerClosed() const;
  // Waits until the socket is readable (or writable); 0 ready, kWaitTimedOut
  // (its own timeout or the wait limit), else errno.
  int WaitFor(short events, int timeout_s) const;
  // The same up to end (none: no limit).
  int WaitUntil(short events, std::optional<platform::WaitClock::time_point> end) const;
  // One wait of WaitFor, on the platform's own call: 0 ready, kWaitTimedOut,
  // kWaitAgain when woken by the module's stop (or a signal), else the error.
  // timeout_ms: -1 waits without end; watch_stop: also wake at the stop.
  static constexpr int kWaitAgain = -1;
  int WaitOnce(short events, long long timeout_ms, bool watch_stop) const;
  int handle_ = kInvalidSocket;
  bool waits_to_write_ = false;

 private:
  int connect_restore_ = 0;  // the descriptor's flags before a connect under way
};

// True when host (dotted text or a name) gives an IPv4 address, looked up the
// way Connect looks it up.
bool HostResolvesToIPv4(const std::string& host);
