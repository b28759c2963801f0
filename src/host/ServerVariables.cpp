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

std::string ServerVariableName(std::string_view header) {
  std::string name = "HTTP_";
  for (const char c : header) {
    name.push_back(c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return name;
}

// The Host header without its port; an IPv6 literal is kept whole.
std::string ServerName(const HeaderFields& fields, const std::string& fallback) {
  const std::string* host = FindField(fields, "Host");
  if (host == nullptr) return fallback;
  std::string_view name(*host);
  if (!name.starts_with('[')) name = name.substr(0, name.find(':'));
  return name.empty() ? fallback : std::string(name);
}

std::string FieldOr(const HeaderFields& fields, std::string_view name, const char* fallback) {
  const std::string* value = FindField(fields, name);
  return value != nullptr ? *value : fallback;
}

bool IsTrusted(std::uint32_t peer, const std::vector<std::uint32_t>& trusted_proxies) {
  return std::find(trusted_proxies.begin(), trusted_proxies.end(), peer) != trusted_proxies.end();
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

std::string ForwardedClient(const HeaderFields& fields) {
  if (const std::string* real_ip = FindField(fields, "X-Real-IP")) return AddressIn(*real_ip);
  if (const std::string* forwarded = FindField(fields, "X-Forwarded-For")) {
    const std::string_view list(*forwarded);
    const auto comma = list.rfind(',');
    return AddressIn(comma == std::string_view::npos ? list : list.substr(comma + 1));
  }
  return {};
}

}  // namespace

void CollectServerVariables(const HeaderFields& fields, const PeerAddress& peer, const ServerAddress& server,
                            const std::vector<std::uint32_t>& trusted_proxies, HostRequest& request) {
  request.remote_address = peer.text;
  if (IsTrusted(peer.address, trusted_proxies)) {
    if (std::string forwarded = ForwardedClient(fields); !forwarded.empty()) {
      request.remote_address = std::move(forwarded);
    }
  }
  auto& variables = request.variables;
  variables.reserve(13 + fields.size());
  const auto add = [&variables](const char* name, std::string value) { variables.emplace_back(name, std::move(value)); };
  add("REMOTE_ADDR", request.remote_address);
  add("REMOTE_HOST", request.remote_address);
  add("REMOTE_PORT", std::to_string(peer.port));
  add("SERVER_NAME", ServerName(fields, server.name));
  add("SERVER_PORT", std::to_string(server.port));
  add("SERVER_PROTOCOL", "HTTP/1.1");
  add("URL", request.path);
  add("PATH_INFO", request.path);
  add("SCRIPT_NAME", request.path);
  add("REQUEST_METHOD", request.ModuleMethod());
  add("QUERY_STRING", request.query);
  add("CONTENT_TYPE", FieldOr(fields, "Content-Type", ""));
  add("CONTENT_LENGTH", FieldOr(fields, "Content-Length", "0"));
  for (const auto& [name, value] : fields) variables.emplace_back(ServerVariableName(name), value);
}

}  // namespace host
