// vekacs-sim started on free loopback ports for one test, with its control
// port, stopped with SIGTERM at the end.
#pragma once

#include <string>
#include <vector>

#include "support/ChildProcess.h"

class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> extra = {});
  bool ready() const { return port_ != 0 && control_port_ != 0; }
  unsigned short port() const { return port_; }
  // The TLS port, when extra asked for one with --tls-listen; else 0.
  unsigned short tls_port() const { return tls_port_; }

  // Sends one control command; returns the answer without its "END" line.
  std::string Control(const std::string& command) const;
  // Lines of the answer to command.
  std::vector<std::string> ControlLines(const std::string& command) const;

  // Waits until the simulator has accepted at least count connections.
  bool WaitForConnections(int count) const;
  // Back-end connections open now (control connections not counted).
  int OpenConnections() const;

  // The [VEKASETTINGS] lines that point a module at this simulator.
  std::string IniSettings(int min_sockets = 2, int max_sockets = 10) const;

  // Copies the site folder from into the folder to and points its RAVO.ini
  // at this simulator, with the trace file on.
  void InstallSite(const std::string& from, const std::string& to) const;

  int Stop();
  ChildProcess& process() { return process_; }

 private:
  ChildProcess process_;
  unsigned short port_ = 0;
  unsigned short control_port_ = 0;
  unsigned short tls_port_ = 0;
};

std::string SimBinaryPath();
