// Command line of quorvix-host.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct HostOptions {
  std::string module_path;
  std::string listen_address = "127.0.0.1";
  unsigned short listen_port = 8080;
  std::string app = "webchat";
  unsigned threads = 0;                          // 0: twice the cores, at least 4
  unsigned max_connections = 0;                  // 0: as many as the descriptor limit allows
  unsigned max_connections_per_address = 0;      // 0: no cap
  std::size_t max_header_bytes = 32 * 1024;
  std::size_t max_body_bytes = 1024 * 1024;
  unsigned idle_timeout_s = 30;
  unsigned head_timeout_s = 10;
  unsigned pending_timeout_s = 120;
  unsigned shutdown_grace_s = 10;
  bool access_log = true;
  // A second listener for /metrics, /healthz and /readyz; off while empty.
  std::string metrics_address;
  unsigned short metrics_port = 0;
};

struct ParsedOptions {
  std::optional<HostOptions> options;  // empty: print message and exit
  std::string message;                 // help text or the one-line problem
  int exit_code = 0;
};

ParsedOptions ParseHostOptions(const std::vector<std::string>& arguments);

std::string HostUsage();

}  // namespace host
