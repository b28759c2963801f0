// quorvix-host started on a free loopback port for one test, serving a module
// from a folder of the test's choosing, stopped with SIGTERM at the end.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/HttpClient.h"

class HostProcess {
 public:
  // Starts the host for module_path with extra options; waits until it serves.
  // launcher, when given, is the start of a command line that runs the host
  // (for example prlimit with its options).
  explicit HostProcess(const std::string& module_path, std::vector<std::string> extra = {},
                       std::vector<std::string> launcher = {});
  // The module of a site folder: <site>/quorvix.so.
  static std::unique_ptr<HostProcess> ForSite(const std::string& site_dir,
                                              std::vector<std::string> extra = {});

  bool ready() const { return port_ != 0; }
  unsigned short port() const { return port_; }
  // Of the metrics listener (--metrics 127.0.0.1:0); 0 without one.
  unsigned short metrics_port() const { return metrics_port_; }
  // "/webchat/<module file name>"
  const std::string& path() const { return path_; }

  HttpResponse Get(const std::string& query) const;
  HttpResponse Post(const std::string& body, const std::string& query = {}) const;

  // SIGTERM and wait; the exit code (-1 when it did not stop in time).
  int Stop();
  ChildProcess& process() { return process_; }

 private:
  ChildProcess process_;
  unsigned short port_ = 0;
  unsigned short metrics_port_ = 0;
  std::string path_;
};

// Path of the built quorvix-host.
std::string HostBinaryPath();
