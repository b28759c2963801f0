#include "host/ServerVariables.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "host/HostRequest.h"

namespace host {
namespace {

std::string AddressText(const sockaddr* address, unsigned short* port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address == nullptr) return "-";
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    *port = ntohs(v4->sin_port);
  } else if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    *port = ntohs(v6->sin6_port);
  }
  return text;
}

std::string ServerVariableName(const char* header) {
  std::string name = "HTTP_";
  for (const char* c = header; *c != '\0'; ++c) {
    name.push_back(*c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(*c))));
  }
  return name;
}

// The Host header without its port; an IPv6 literal is kept whole.
std::string ServerName(MHD_Connection* connection, const std::string& fallback) {
  const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
  if (host == nullptr) return fallback;
  std::string_view name(host);
  if (!name.starts_with('[')) name = name.substr(0, name.find(':'));
  return name.empty() ? fallback : std::string(name);
}

const char* HeaderOr(MHD_Connection* connection, const char* header, const char* fallback) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, header);
  return value != nullptr ? value : fallback;
}

bool IsTrusted(const sockaddr* peer, const std::vector<std::uint32_t>& trusted_proxies) {
  if (peer == nullptr || peer->sa_family != AF_INET) return false;
  const auto address = reinterpret_cast<const sockaddr_in*>(peer)->sin_addr.s_addr;
  return std::find(trusted_proxies.begin(), trusted_proxies.end(), address) != trusted_proxies.end();
}

// The address text in header, canonical, or empty when it holds none.
std::string AddressIn(std::string_view header) {
  const auto first = header.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  header = header.substr(first, header.find_last_not_of(" \t") - first + 1);
  const std::string written(header);
  unsigned char bytes[sizeof(in6_addr)];
  char text[INET6_ADDRSTRLEN] = "";
  if (inet_pton(AF_INET, written.c_str(), bytes) == 1) return inet_ntop(AF_INET, bytes, text, sizeof text);
  if (inet_pton(AF_INET6, written.c_str(), bytes) == 1) return inet_ntop(AF_INET6, bytes, text, sizeof text);
  return {};
}

std::string ForwardedClient(MHD_Connection* connection) {
  if (const char* real_ip = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Real-IP")) {
    return AddressIn(real_ip);
  }
  if (const char* forwarded = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Forwarded-For")) {
    const std::string_view list(forwarded);
    const auto comma = list.rfind(',');
    return AddressIn(comma == std::string_view::npos ? list : list.substr(comma + 1));
  }
  return {};
}

}  // namespace

void CollectServerVariables(MHD_Connection* connection, const ServerAddress& server,
                            const std::vector<std::uint32_t>& trusted_proxies, HostRequest& request) {
  unsigned short remote_port = 0;
  const auto* client = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  const sockaddr* peer = client != nullptr ? client->client_addr : nullptr;
  request.remote_address = AddressText(peer, &remote_port);
  if (IsTrusted(peer, trusted_proxies)) {
    if (std::string forwarded = ForwardedClient(connection); !forwarded.empty()) {
      request.remote_address = std::move(forwarded);
    }
  }
  request.variables = {
      {"REMOTE_ADDR", request.remote_address},
      {"REMOTE_HOST", request.remote_address},
      {"REMOTE_PORT", std::to_string(remote_port)},
      {"SERVER_NAME", ServerName(connection, server.name)},
      {"SERVER_PORT", std::to_string(server.port)},
      {"SERVER_PROTOCOL", "HTTP/1.1"},
      {"URL", request.path},
      {"PATH_INFO", request.path},
      {"SCRIPT_NAME", request.path},
      {"REQUEST_METHOD", request.ModuleMethod()},
      {"QUERY_STRING", request.query},
      {"CONTENT_TYPE", HeaderOr(connection, MHD_HTTP_HEADER_CONTENT_TYPE, "")},
      {"CONTENT_LENGTH", HeaderOr(connection, MHD_HTTP_HEADER_CONTENT_LENGTH, "0")},
  };
  MHD_get_connection_values(
      connection, MHD_HEADER_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
        static_cast<HostRequest*>(cls)->variables.emplace_back(ServerVariableName(key),
                                                               value != nullptr ? value : "");
        return MHD_YES;
      },
      &request);
}

}  // namespace host
