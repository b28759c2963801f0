// What GetServerVariable answers for a request: the CGI-style variables and
// HTTP_<NAME> for every request header, taken once when the headers are in.
#pragma once

#include <microhttpd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace host {

class HostRequest;

// Where the host listens, as the module sees it when the request names no Host.
struct ServerAddress {
  std::string name;
  unsigned short port = 0;
};

// Fills request.variables and request.remote_address from connection. When
// the peer is one of trusted_proxies (IPv4, network byte order), the client
// address is the one the proxy passed on: X-Real-IP, or else the last address
// of X-Forwarded-For (the one the proxy appended; those before it are the
// client's own word); a header that holds no address leaves the peer's. Call
// on the library's thread, in the first access-handler call of the request,
// before the module runs: from then on both are read-only.
void CollectServerVariables(MHD_Connection* connection, const ServerAddress& server,
                            const std::vector<std::uint32_t>& trusted_proxies, HostRequest& request);

}  // namespace host
