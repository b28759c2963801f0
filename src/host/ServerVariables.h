// What GetServerVariable answers for a request: the CGI-style variables and
// HTTP_<NAME> for every request header, taken once when the headers are in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/RequestParser.h"

namespace host {

class HostRequest;

// Where the host listens, as the module sees it when the request names no Host.
struct ServerAddress {
  std::string name;
  unsigned short port = 0;
};

// The peer of a connection, IPv4 in network byte order.
struct PeerAddress {
  std::uint32_t address = 0;
  unsigned short port = 0;
  std::string text;  // address, written once per connection rather than per request
};

// Fills request.variables and request.remote_address from the head's fields
// and the peer. When
// the peer is one of trusted_proxies (IPv4, network byte order), the client
// address is the one the proxy passed on: X-Real-IP, or else the last address
// of X-Forwarded-For (the one the proxy appended; those before it are the
// client's own word); a header that holds no address leaves the peer's. Call
// on the connection's loop once the head is in, before the module runs: from
// then on both are read-only.
void CollectServerVariables(const HeaderFields& fields, const PeerAddress& peer, const ServerAddress& server,
                            const std::vector<std::uint32_t>& trusted_proxies, HostRequest& request);

}  // namespace host
