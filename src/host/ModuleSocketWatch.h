// Readiness of the module's sockets for the waits of one loop's requests.
//
// The sockets are the module's: pooled, used by one request after another
// on any loop, closed whenever the module likes, their numbers used again by
// anything (also a client connection of the host's). Asio can watch such a
// borrowed socket only by taking it into the loop's reactor and letting it go
// again at every wait (three system calls and a bookkeeping object each),
// or it would risk dropping a later owner's registration of the same number.
// So the loop keeps an epoll set of its own, watched by its reactor as one
// descriptor: each wait arms its socket for one report (EPOLLONESHOT, one
// system call), a closed socket leaves the set by itself, and a number used
// again enters it afresh.
//
// Threads: all on the loop (a service of its io_context).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace host {

class LoopWait;

class ModuleSocketWatch : public boost::asio::execution_context::service {
 public:
  static inline boost::asio::execution_context::id id;

  explicit ModuleSocketWatch(boost::asio::execution_context& context);
  ~ModuleSocketWatch() override;

  // Reports once to waiter (its generation) when fd is ready for events
  // (EPOLLIN, EPOLLOUT; a socket in error counts as ready), replacing what
  // was armed on fd before. Returns 0 or the error of the system call.
  int Arm(int fd, std::uint32_t events, const std::shared_ptr<LoopWait>& waiter, std::uint64_t generation);
  // What waiter armed on fd reports nothing any more.
  void Disarm(int fd, const LoopWait* waiter);

 private:
  struct Waiter {
    std::weak_ptr<LoopWait> wait;
    const LoopWait* owner = nullptr;  // null: none
    std::uint64_t generation = 0;
    std::uint32_t events = 0;
  };

  void shutdown() override;
  void Listen();
  void Dispatch();
  void Erase(Waiter& waiter);

  boost::asio::io_context& context_;
  int set_ = -1;
  boost::asio::posix::stream_descriptor watched_set_;
  bool listening_ = false;
  // By socket number: a loop's waits are few, the numbers small and dense,
  // and a wait should cost no allocation.
  std::vector<Waiter> waiters_;
  std::size_t armed_ = 0;  // waiters_ with an owner
};

}  // namespace host
