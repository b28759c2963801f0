// Takes connections off the listening socket on a thread of its own and hands
// them to the HTTP library, so that the host, not the library, decides at the
// door: a connection over a limit gets a short 503 and is closed, rather than
// waiting unaccepted in the backlog; running out of descriptors costs one
// refused connection and a line in the log now and then, not a busy loop.
// Between accepts it sweeps the connections past their head deadline.
//
// Threads: Start and Stop from the main thread; the rest on the acceptor's.
#pragma once

#include <netinet/in.h>

#include <functional>
#include <thread>

#include "host/OpenConnections.h"

namespace host {

class Acceptor {
 public:
  // Gives an admitted socket to the library; false when the library refused
  // it (it has then closed the socket).
  using HandOver = std::function<bool(int fd, const sockaddr_in& peer)>;

  // Takes ownership of listening_fd (non-blocking).
  Acceptor(int listening_fd, OpenConnections& connections, HandOver hand_over);
  ~Acceptor();
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  // False with errno set when the thread's event descriptors cannot be made.
  bool Start();
  // Closes the listening socket: new connections are refused from here on.
  void Stop();

 private:
  void Run();
  // Accepts what is waiting, a batch at a time; false when accepting must
  // pause (out of memory or descriptors without a spare).
  bool AcceptWaiting();
  // Out of descriptors: the spare one makes room to accept and refuse.
  bool RefuseWithSpare(unsigned open);
  void Refuse(int fd, const char* why);

  int listening_fd_;  // -1 once stopped
  OpenConnections& connections_;
  const HandOver hand_over_;
  int epoll_fd_ = -1;
  int stop_fd_ = -1;
  int spare_fd_ = -1;  // an open descriptor given up to make room
  std::thread thread_;
};

}  // namespace host
