// vekacs-sim's network side: a listener for back-end connections (each kept
// open across exchanges), served by a few event loops while no fault is set
// and by a thread each once one is, and a line-based control port through
// which tests set faults and read what arrived.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/ConnectionThreads.h"
#include "sim/ContactCenter.h"
#include "sim/Faults.h"
#include "sim/SocketLoops.h"

namespace sim {

struct SimOptions {
  std::string address = "127.0.0.1";
  unsigned short port = 4100;
  std::string control_address = "127.0.0.1";
  int control_port = -1;  // -1: no control port
  std::string password;
  bool log_requests = true;
};

class SimServer {
 public:
  explicit SimServer(SimOptions options);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  bool Start(std::string& error);
  void Stop();
  unsigned short port() const { return port_; }
  unsigned short control_port() const { return control_port_; }

  // A control command; the answer ends with a line "END" (or "ERR ...").
  std::string Control(const std::string& command);

 private:
  struct Connection {
    int fd = -1;
    std::uint64_t serial = 0;
    bool control = false;
    std::atomic<bool> busy{false};
    std::thread thread;  // none while the loops serve it
    std::string input;   // read ahead of the request being handled
  };

  // One request's answer and how it goes out.
  struct Reply {
    std::string bytes;
    long delay_ms = 0;
    std::size_t piece = 0;  // 0: all at once
    bool close_after = false;
  };

  void AcceptLoop(int listener, bool control);
  // Handles one whole request; none when the connection is to close
  // without an answer.
  std::optional<Reply> Answer(Connection& connection, std::string_view message);
  // Sleeps for the time given, or until the server stops.
  void WaitUnlessStopping(long long milliseconds);
  // Blocking; false when the connection is to close.
  bool Send(int fd, const Reply& reply);
  // A thread's service of one connection, starting with a reply the loops
  // could not send at once.
  void Serve(Connection& connection, std::optional<Reply> unsent);
  static void ServeReady(void* owner, void* context);
  void HandOff(Connection& connection, std::optional<Reply> unsent);
  void ServeControl(int fd);
  bool ControlVoice(std::istream& words, std::string& answer);
  void Log(std::string line);

  const SimOptions options_;
  ContactCenter center_;
  Faults faults_;
  int listener_ = -1;
  int control_listener_ = -1;
  unsigned short port_ = 0;
  unsigned short control_port_ = 0;
  std::atomic<bool> stopping_{false};
  // Wakes the faults' waits at once when the server stops.
  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  std::atomic<int> waiting_{0};  // faults' waits under way
  std::atomic<std::uint64_t> next_request_{0};
  std::atomic<std::uint64_t> backend_accepted_{0};
  std::vector<std::thread> acceptors_;

  using Connections = ConnectionThreads<Connection>::Connections;
  ConnectionThreads<Connection> connections_;
  SocketLoops loops_;

  std::mutex mutex_;
  std::deque<std::string> log_;  // guarded by mutex_
};

}  // namespace sim
