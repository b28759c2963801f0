// Threads that each wait on many sockets at once, for the connections the
// simulator serves without a thread of their own: under load a thread that
// wakes finds several requests ready, where a thread per connection is woken
// (and the sender pays for the wake-up) at every request.
//
// Threads: Add and Stop on any thread; the handler and Detach on the loops'.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace sim {

class SocketLoops {
 public:
  // Called on a loop's thread whenever fd is readable (or has ended), with
  // the context it was added with; one call at a time per socket.
  using Handler = void (*)(void* owner, void* context);

  SocketLoops(std::size_t threads, Handler handler, void* owner);
  ~SocketLoops();
  SocketLoops(const SocketLoops&) = delete;
  SocketLoops& operator=(const SocketLoops&) = delete;

  // Starts watching fd (made non-blocking) on the next loop in turn. False
  // once stopped or when the socket cannot be watched.
  bool Add(int fd, void* context);
  // In the handler: stops watching fd, which a thread of its own serves from
  // now on (made blocking again).
  static void Detach(int fd);
  // Ends the loops and waits for them; the sockets stay open.
  void Stop();

 private:
  struct Loop {
    int epoll_fd = -1;
    int wake_fd = -1;
    std::thread thread;
  };
  void Run(Loop& loop);

  const Handler handler_;
  void* const owner_;
  std::vector<Loop> loops_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stopping_{false};
};

}  // namespace sim
