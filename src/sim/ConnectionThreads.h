// The connections a listener of the simulator serves, each on a thread of its
// own or by whatever else the listener chose: accepts one after another until
// stopped, lets each server retire its record when it ends, joins retired
// threads at the next accept, and at the stop ends the rest and joins them.
//
// Connection is a record with a `serial` and a `thread`. Threads: AcceptLoop
// on the listener's thread, Retire on each server's, the rest anywhere.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "sim/AcceptNext.h"

namespace sim {

template <typename Connection>
class ConnectionThreads {
 public:
  using Connections = std::map<std::uint64_t, std::unique_ptr<Connection>>;

  // Until stopping is set: accepts on listener (accept4 with flags), makes
  // the record with make(fd) and has start(record) begin serving it, under
  // the lock (a thread it starts goes into the record's `thread`); the
  // server ends with Retire(record).
  template <typename Make, typename Start>
  void AcceptLoop(int listener, int flags, const std::atomic<bool>& stopping, Make make, Start start) {
    for (int fd; (fd = AcceptNext(listener, flags, stopping)) >= 0;) {
      std::lock_guard lock(mutex_);
      for (auto& thread : retired_) thread.join();
      retired_.clear();
      if (stopping) {
        close(fd);
        return;
      }
      std::unique_ptr<Connection> connection = make(fd);
      connection->serial = ++next_serial_;
      Connection& ref = *connection;
      start(ref);
      connections_.emplace(ref.serial, std::move(connection));
    }
  }

  // Serves a connection started without a thread on one of its own from now
  // on: serve(connection), which ends with Retire.
  template <typename Serve>
  void StartThread(Connection& connection, Serve serve) {
    std::lock_guard lock(mutex_);
    connection.thread = std::thread([serve = std::move(serve), &connection]() mutable { serve(connection); });
  }

  // f(connections) under the lock that Retire and Stop take.
  template <typename F>
  decltype(auto) WithConnections(F f) {
    std::lock_guard lock(mutex_);
    return f(connections_);
  }

  // The end of a serving thread: last(connection) under the lock (closing its
  // sockets there keeps Stop from shutting down a number already reused),
  // then the record goes.
  template <typename Last>
  void Retire(Connection& connection, Last last) {
    std::lock_guard lock(mutex_);
    last(connection);
    const auto found = connections_.find(connection.serial);
    if (found != connections_.end()) {
      if (found->second->thread.joinable()) retired_.push_back(std::move(found->second->thread));
      connections_.erase(found);
    }
  }

  // After the listener stopped accepting: end(connection) for each one still
  // served (under the lock), then every serving thread is joined.
  template <typename End>
  void Stop(End end) {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      for (auto& [serial, connection] : connections_) {
        end(*connection);
        threads.push_back(std::move(connection->thread));
      }
      for (auto& thread : retired_) threads.push_back(std::move(thread));
      retired_.clear();
    }
    for (auto& thread : threads) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  std::mutex mutex_;
  std::uint64_t next_serial_ = 0;     // guarded by mutex_
  Connections connections_;           // guarded by mutex_
  std::vector<std::thread> retired_;  // guarded by mutex_
};

}  // namespace sim
