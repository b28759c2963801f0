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

// Whether name is HTTP_ and header, uppercase, its dashes underscores.
bool NamesHeader(std::string_view name, std::string_view header) {
  if (!name.starts_with("HTTP_")) return false;
  name.remove_prefix(5);
  if (name.size() != header.size()) return false;
  for (std::size_t i = 0; i < header.size(); ++i) {
    const char c = header[i];
    if (name[i] != (c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c))))) return false;
  }
  return true;
}

// The Host header without its port; an IPv6 literal is kept whole.
std::string_view ServerName(const HeaderFields& fields, const std::string& fallback) {
  const std::string* host = FindField(fields, "Host");
  if (host == nullptr) return fallback;
  std::string_view name(*host);
  if (!name.starts_with('[')) name = name.substr(0, name.find(':'));
  return name.empty() ? std::string_view(fallback) : name;
}

std::string_view FieldOr(const HeaderFields& fields, std::string_view name, std::string_view fallback) {
  const std::string* value = FindField(fields, name);
  return value != nullptr ? std::string_view(*value) : fallback;
}

std::string_view Digits(unsigned short number, std::array<char, 8>& digits) {
  char* end = digits.data() + digits.size();
  char* at = end;
  do {
    *--at = static_cast<char>('0' + number % 10);
    number = static_cast<unsigned short>(number / 10);
  } while (number != 0);
  return {at, static_cast<std::size_t>(end - at)};
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
  request.peer_port = peer.port;
  request.server = &server;
}

std::optional<std::string_view> ServerVariable(const HostRequest& request, std::string_view name,
                                               std::array<char, 8>& digits) {
  const HeaderFields& fields = request.fields;
  if (name == "REMOTE_ADDR" || name == "REMOTE_HOST") return request.remote_address;
  if (name == "REMOTE_PORT") return Digits(request.peer_port, digits);
  if (name == "SERVER_NAME") return ServerName(fields, request.server->name);
  if (name == "SERVER_PORT") return Digits(request.server->port, digits);
  if (name == "SERVER_PROTOCOL") return "HTTP/1.1";
  if (name == "URL" || name == "PATH_INFO" || name == "SCRIPT_NAME") return request.path;
  if (name == "REQUEST_METHOD") return request.ModuleMethod();
  if (name == "QUERY_STRING") return request.query;
  if (name == "CONTENT_TYPE") return FieldOr(fields, "Content-Type", "");
  if (name == "CONTENT_LENGTH") return FieldOr(fields, "Content-Length", "0");
  for (const auto& [header, value] : fields) {
    if (NamesHeader(name, header)) return value;
  }
  return std::nullopt;
}

}  // namespace host
