// What GetServerVariable answers for a request: the CGI-style variables and
// HTTP_<NAME> for every request header. They are worked out when the module
// asks, from what the request keeps of its head: a module asks for two or
// three of a dozen and more.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// Sets request.remote_address and what the variables are worked out from
// besides the head's fields (which the request takes over later). When
// the peer is one of trusted_proxies (IPv4, network byte order), the client
// address is the one the proxy passed on: X-Real-IP, or else the last address
// of X-Forwarded-For (the one the proxy appended; those before it are the
// client's own word); a header that holds no address leaves the peer's. Call
// on the connection's loop once the head is in, before the module runs: from
// then on all of it is read-only. server must outlive the request.
void CollectServerVariables(const HeaderFields& fields, const PeerAddress& peer, const ServerAddress& server,
                            const std::vector<std::uint32_t>& trusted_proxies, HostRequest& request);

// The variable name of request, or none. The text lives as long as the
// request's data or, for a number, as digits.
std::optional<std::string_view> ServerVariable(const HostRequest& request, std::string_view name,
                                               std::array<char, 8>& digits);

}  // namespace host
