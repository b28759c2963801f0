// The connections the host has taken in, counted against the limits that
// keep one client, or many idle ones, from locking everyone else out: a total
// below the process's descriptor limit, and a cap per client address.
//
// Threads: the acceptor admits; each connection's loop releases it when it
// closes. All state is guarded by mutex_; both happen once per connection.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace host {

class OpenConnections {
 public:
  struct Limits {
    unsigned max_connections;
    unsigned max_per_address;  // 0: no cap
    // Peers (IPv4, network byte order) the per-address cap does not apply
    // to: a trusted proxy carries many clients on its connections.
    std::vector<std::uint32_t> uncapped = {};
  };

  enum class Verdict { kAdmitted, kFull, kAddressFull };

  explicit OpenConnections(Limits limits) : limits_(std::move(limits)) {}

  // Counts a freshly accepted connection from address, or says which limit
  // refuses it.
  Verdict Admit(std::uint32_t address);
  // An admitted connection from address closed.
  void Release(std::uint32_t address);

  unsigned open() const;

 private:
  const Limits limits_;
  mutable std::mutex mutex_;
  unsigned open_ = 0;                                       // guarded by mutex_
  std::unordered_map<std::uint32_t, unsigned> by_address_;  // only with a cap; guarded by mutex_
};

}  // namespace host
