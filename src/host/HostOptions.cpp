#include "host/HostOptions.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iterator>
#include <limits>
#include <utility>

namespace host {
namespace {

template <typename Number>
bool ParseNumber(const std::string& text, Number min, Number max, Number& out) {
  Number value{};
  const auto* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  if (result.ec != std::errc() || result.ptr != end || value < min || value > max) return false;
  out = value;
  return true;
}

bool ParseAddress(const std::string& text, std::string& address, unsigned short& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  if (!ParseNumber<unsigned short>(text.substr(colon + 1), 0, 65535, port)) return false;
  address = text.substr(0, colon);
  return true;
}

// ADDR[,ADDR...]: dotted IPv4 addresses, kept in network byte order.
bool ParseAddressList(const std::string& text, std::vector<std::uint32_t>& out) {
  std::vector<std::uint32_t> addresses;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    in_addr address{};
    if (inet_pton(AF_INET, text.substr(start, end - start).c_str(), &address) != 1) return false;
    addresses.push_back(address.s_addr);
    start = end + 1;
  }
  out = std::move(addresses);
  return true;
}

ParsedOptions Problem(const std::string& text) { return {std::nullopt, "quorvix-host: " + text, 2}; }

}  // namespace

std::string HostUsage() {
  return R"(Usage: quorvix-host --module PATH [options]

Serves one extension module over HTTP/1.1 at /<app>/<module file name>, and
the files of the folder static/ beside the module at /<app>/static/<path>.

  --module PATH            the module to load (required)
  --listen ADDR:PORT       address and port to listen on (default 127.0.0.1:8080;
                           port 0 picks a free one, printed when ready)
  --app NAME               web application name in the URL (default webchat)
  --threads N              event loops, each run by one thread; a module call that
                           blocks hands its loop to another thread, up to 512
                           threads in all (default: one loop per core)
  --max-connections N      open connections at most (default: as many as the limit
                           on open files allows, which is raised to its hard limit,
                           less a reserve for the module)
  --max-connections-per-address N
                           open connections from one client address at most
                           (default 0: no cap; behind a proxy every client has the
                           proxy's address)
  --max-header-bytes N     request line and headers at most (default 32768)
  --max-body-bytes N       request body at most; larger bodies get 413 (default 1048576)
  --idle-timeout S         close a connection idle this long (default 30)
  --head-timeout S         close a connection whose request line and headers have
                           not all arrived S seconds after it opened or after its
                           previous answer (default 10)
  --pending-timeout S      answer 504 to a request the module leaves pending this long
                           (default 120)
  --shutdown-grace S       on SIGINT/SIGTERM, time pending requests get to finish before
                           they are answered 503 (default 10)
  --access-log FILE        append the access log to FILE instead of standard output;
                           reopened on SIGHUP, as the module's trace file is
  --access-log-values      log each request's whole target; by default only the path
                           and varUserRequest, since the values are visitors' names,
                           telephone numbers and session identifiers
  --no-access-log          write no access log
  --loop-service           offer the module the event-loop service (the default): a
                           pending request then borrows, connects, and reads the back
                           end's answer on the loops, without a thread of its own
  --no-loop-service        offer no event-loop service, as another web server would
                           not: the module then uses a worker thread per pending request
  --trusted-proxy ADDR[,ADDR]
                           reverse proxies (IPv4) whose X-Real-IP or, without it, the
                           last address of X-Forwarded-For is the client's address:
                           REMOTE_ADDR, the access log and --heartbeat-from use it;
                           these proxies have no --max-connections-per-address cap.
                           From any other peer those headers are ignored
  --heartbeat-from ADDR[,ADDR]
                           client addresses (IPv4) of the monitoring that may send
                           REQ_HEARTBEAT, which registers a web server with the back
                           end; from others it is refused with 403 (default: any)
  --metrics ADDR:PORT      serve /metrics (Prometheus text format), /healthz and
                           /readyz on this separate address (default: off; port 0
                           picks a free one, printed when ready)
  --version                the release
  --help                   this text
)";
}

ParsedOptions ParseHostOptions(const std::vector<std::string>& arguments) {
  HostOptions options;
  const auto unsigned_max = std::numeric_limits<unsigned>::max();
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& name = arguments[i];
    if (name == "--help" || name == "-h") return {std::nullopt, HostUsage(), 0};
    if (name == "--version") return {std::nullopt, "quorvix-host " QUORVIX_VERSION, 0};
    if (name == "--no-access-log") {
      options.access_log = false;
      continue;
    }
    if (name == "--access-log-values") {
      options.access_log_values = true;
      continue;
    }
    if (name == "--loop-service" || name == "--no-loop-service") {
      options.loop_service = name == "--loop-service";
      continue;
    }
    static const char* const kValued[] = {"--module", "--listen", "--app", "--threads",
                                          "--max-connections", "--max-connections-per-address",
                                          "--max-header-bytes", "--head-timeout",
                                          "--max-body-bytes", "--idle-timeout",
                                          "--pending-timeout", "--shutdown-grace", "--access-log",
                                          "--trusted-proxy", "--heartbeat-from", "--metrics"};
    if (std::find(std::begin(kValued), std::end(kValued), name) == std::end(kValued)) {
      return Problem("unknown option " + name + " (see --help)");
    }
    if (i + 1 >= arguments.size()) return Problem("option " + name + " needs a value (see --help)");
    const std::string& value = arguments[++i];
    bool ok = true;
    if (name == "--module") {
      options.module_path = value;
    } else if (name == "--listen") {
      ok = ParseAddress(value, options.listen_address, options.listen_port);
    } else if (name == "--metrics") {
      ok = ParseAddress(value, options.metrics_address, options.metrics_port);
    } else if (name == "--app") {
      ok = !value.empty() && value.find_first_of("/?# ") == std::string::npos;
      options.app = value;
    } else if (name == "--threads") {
      ok = ParseNumber(value, 1u, 256u, options.threads);
    } else if (name == "--max-connections") {
      ok = ParseNumber(value, 1u, 1000000u, options.max_connections);
    } else if (name == "--max-connections-per-address") {
      ok = ParseNumber(value, 0u, 1000000u, options.max_connections_per_address);
    } else if (name == "--head-timeout") {
      ok = ParseNumber(value, 1u, 3600u, options.head_timeout_s);
    } else if (name == "--max-header-bytes") {
      ok = ParseNumber<std::size_t>(value, 1024, 16 << 20, options.max_header_bytes);
    } else if (name == "--max-body-bytes") {
      ok = ParseNumber<std::size_t>(value, 0, std::numeric_limits<std::uint32_t>::max() - 1,
                                    options.max_body_bytes);
    } else if (name == "--idle-timeout") {
      ok = ParseNumber(value, 1u, unsigned_max, options.idle_timeout_s);
    } else if (name == "--pending-timeout") {
      ok = ParseNumber(value, 1u, unsigned_max, options.pending_timeout_s);
    } else if (name == "--access-log") {
      ok = !value.empty();
      options.access_log_path = value;
    } else if (name == "--trusted-proxy") {
      ok = ParseAddressList(value, options.trusted_proxies);
    } else if (name == "--heartbeat-from") {
      ok = ParseAddressList(value, options.heartbeat_from);
    } else {  // --shutdown-grace
      ok = ParseNumber(value, 0u, unsigned_max, options.shutdown_grace_s);
    }
    if (!ok) return Problem("bad value '" + value + "' for " + name + " (see --help)");
  }
  if (options.module_path.empty()) return Problem("--module PATH is required (see --help)");
  return {options, {}, 0};
}

}  // namespace host
