// The connections the host has taken in, counted against the limits that
// keep one client, or many idle ones, from locking everyone else out: a total
// below the process's descriptor limit, a cap per client address, and a
// deadline for each request head (from the connection's start, or from the
// previous answer on a kept-alive connection). A connection past its deadline
// is shut down; the library then sees it close and lets it go.
//
// Threads: the acceptor admits and sweeps; the library's threads report
// connections starting and closing and requests' heads arriving and their
// answers completing. A connection's slot lives from Admit until the library
// reports it closed (or, when the library never took it, until a sweep).
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace host {

class OpenConnections {
 public:
  struct Limits {
    unsigned max_connections;
    unsigned max_per_address;  // 0: no cap
    std::chrono::milliseconds head_timeout;
    // Peers (network byte order) the per-address cap does not apply to: a
    // trusted proxy carries many clients on its connections.
    std::vector<std::uint32_t> uncapped = {};
  };

  class Slot;

  enum class Verdict { kAdmitted, kFull, kAddressFull };

  explicit OpenConnections(Limits limits) : limits_(limits) {}
  ~OpenConnections();
  OpenConnections(const OpenConnections&) = delete;
  OpenConnections& operator=(const OpenConnections&) = delete;

  // Acceptor: counts a freshly accepted socket, or says which limit refuses it.
  Verdict Admit(int fd, const sockaddr_in& peer);
  // Acceptor: the library refused a socket that was admitted; it is closed.
  void NotTaken(int fd);
  // Acceptor, now and then: shuts down connections past their head deadline.
  void Sweep();
  // Acceptor: the peer of fd closed its side. The library is made to see it
  // at once, instead of holding the connection until its idle timeout.
  void PeerClosed(int fd);

  // Library threads. Started returns the slot to keep with the connection.
  Slot* Started(int fd);
  void Closed(Slot* slot);
  // A request's head is complete: no deadline until its answer is done.
  static void HeadArrived(Slot* slot);
  // The answer is done: the deadline starts again for the next head.
  static void AnswerCompleted(Slot* slot);
  // The request line's target as the client sent it, kept from the line
  // until the head is complete; "" for a null slot.
  static void KeepTarget(Slot* slot, const char* target);
  static std::string TakeTarget(Slot* slot);

  unsigned open() const;
  const Limits& limits() const { return limits_; }

 private:
  using Clock = std::chrono::steady_clock;
  void ForgetLocked(int fd);  // call with mutex_ held
  static void CutLocked(Slot& slot);  // call with mutex_ held

  const Limits limits_;
  mutable std::mutex mutex_;
  std::unordered_map<int, Slot*> by_fd_;                // guarded by mutex_
  std::unordered_map<std::uint32_t, unsigned> by_address_;  // guarded by mutex_
};

}  // namespace host
