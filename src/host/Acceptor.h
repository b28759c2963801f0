// Takes connections off the listening socket, on the first event loop, and
// spreads them over the loops in turn. The host decides at the door: a
// connection over a limit gets a short 503 and is closed, rather than waiting
// unaccepted in the backlog; running out of descriptors costs one refused
// connection (a spare descriptor makes room to accept and refuse it) and a
// line in the log now and then; when not even that works, accepting pauses a
// moment on a timer, never a busy loop.
//
// Threads: Start and Stop from the owning thread; the rest on the first loop.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <string>

#include "host/EventLoops.h"
#include "host/OpenConnections.h"
#include "host/ServerVariables.h"

namespace host {

class Acceptor {
 public:
  // Starts serving an admitted connection, on any thread; loop: the index of
  // the loop socket belongs to.
  using Admitted = std::function<void(LoopSocket socket, PeerAddress peer, std::size_t loop)>;

  Acceptor(EventLoops& loops, OpenConnections& connections, Admitted admitted);
  ~Acceptor();
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  // Takes ownership of listening_fd (IPv4, non-blocking) and starts accepting.
  // False with a one-line reason.
  bool Start(int listening_fd, std::string& error);
  // Closes the listening socket: new connections are refused from here on.
  // Returns once it is closed (or the first loop no longer runs).
  void Stop();

 private:
  void Accept();
  void OnAccept(const boost::system::error_code& error, LoopSocket socket);
  // Out of descriptors: the spare one makes room to accept and refuse.
  bool RefuseWithSpare();
  void Refuse(LoopSocket& socket, const char* why);
  void Pause();

  EventLoops& loops_;
  OpenConnections& connections_;
  const Admitted admitted_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer pause_;
  boost::asio::ip::tcp::endpoint peer_;  // of the connection being accepted
  std::size_t next_loop_ = 0;
  int spare_fd_ = -1;  // an open descriptor given up to make room
};

}  // namespace host
