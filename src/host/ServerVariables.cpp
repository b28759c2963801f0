#include "host/ServerVariables.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

}  // namespace

void CollectServerVariables(MHD_Connection* connection, const ServerAddress& server, HostRequest& request) {
  unsigned short remote_port = 0;
  const auto* client = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  request.remote_address = AddressText(client != nullptr ? client->client_addr : nullptr, &remote_port);
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
