// vekacs-sim's network side: a listener for back-end connections, one thread
// per connection (each kept open across exchanges), and a line-based control
// port through which tests set faults and read what arrived.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/ConnectionThreads.h"
#include "sim/ContactCenter.h"
#include "sim/Faults.h"

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
    std::thread thread;
  };

  void AcceptLoop(int listener, bool control);
  void Serve(Connection& connection);
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
  std::atomic<std::uint64_t> next_request_{0};
  std::atomic<std::uint64_t> backend_accepted_{0};
  std::vector<std::thread> acceptors_;

  using Connections = ConnectionThreads<Connection>::Connections;
  ConnectionThreads<Connection> connections_;

  std::mutex mutex_;
  std::deque<std::string> log_;  // guarded by mutex_
};

}  // namespace sim
