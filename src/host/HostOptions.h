// Command line of quorvix-host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct HostOptions {
  std::string module_path;
  std::string listen_address = "127.0.0.1";
  unsigned short listen_port = 8080;
  std::string app = "webchat";
  unsigned threads = 0;                          // event loops; 0: one per core
  unsigned max_connections = 0;                  // 0: as many as the descriptor limit allows
  unsigned max_connections_per_address = 0;      // 0: no cap
  std::size_t max_header_bytes = 32 * 1024;
  std::size_t max_body_bytes = 1024 * 1024;
  unsigned idle_timeout_s = 30;
  unsigned head_timeout_s = 10;
  unsigned pending_timeout_s = 120;
  unsigned shutdown_grace_s = 10;
  bool access_log = true;
  bool loop_service = true;   // the event-loop service is offered to the module
  // A second listener for /metrics, /healthz and /readyz; off while empty.
  std::string metrics_address;
  unsigned short metrics_port = 0;
  std::string access_log_path;      // empty: standard output
  bool access_log_values = false;   // log whole targets, values included
  // IPv4 addresses in network byte order. A request from a trusted proxy
  // takes its client address from X-Real-IP or X-Forwarded-For.
  std::vector<std::uint32_t> trusted_proxies;
  // Client addresses that may name the heartbeat; empty: any.
  std::vector<std::uint32_t> heartbeat_from;
};

struct ParsedOptions {
  std::optional<HostOptions> options;  // empty: print message and exit
  std::string message;                 // help text or the one-line problem
  int exit_code = 0;
};

ParsedOptions ParseHostOptions(const std::vector<std::string>& arguments);

std::string HostUsage();

}  // namespace host
