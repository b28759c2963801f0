#include "net/TRSocket.h"

#include "diag/TraceLog.h"
#include "net/SocketSystem.h"

namespace net {

bool ResolveIPv4(const std::string& host, in_addr& address) {
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

}  // namespace net

using net::ResolveIPv4;

bool HostResolvesToIPv4(const std::string& host) {
  in_addr address{};
  return ResolveIPv4(host, address);
}

TRSocket::~TRSocket() { TRSocket::Close(); }

std::unique_ptr<TRSocket> TRSocket::NewInstance() const { return std::make_unique<TRSocket>(); }

int TRSocket::Bind(int port, const char* bind_address) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind_address != nullptr && inet_pton(AF_INET, bind_address, &address.sin_addr) != 1) {
    return kErrorInvalidAddress;
  }
  return bind(net::Native(handle_), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
             ? 0
             : net::LastSocketError();
}

int TRSocket::Listen(int backlog) {
  return listen(net::Native(handle_), backlog) == 0 ? 0 : net::LastSocketError();
}

int TRSocket::Flush(std::size_t& discarded) {
  discarded = 0;
  char scratch[100];
  while (true) {
    std::size_t count = 0;
    bool timed_out = false;
    const int error = Receive(scratch, sizeof scratch, count, timed_out, 0, 0, false);
    if (error != 0) return error;
    if (count == 0) return 0;
    discarded += count;
  }
}

bool TRSocket::IsClosed() const {
  if (handle_ == kInvalidSocket) return true;
  return PeerClosed();
}

int TRSocket::GetHostName(std::string* address_text, int& port) const {
  port = 0;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  const bool named = getsockname(net::Native(handle_), reinterpret_cast<sockaddr*>(&local), &length) == 0;
  if (named) port = ntohs(local.sin_port);
  in_addr address = local.sin_addr;
  if (!named || address.s_addr == htonl(INADDR_ANY)) {
    char name[64] = "";
    if (gethostname(name, sizeof name - 1) != 0) return net::LastSocketError();
    if (!ResolveIPv4(name, address)) return kErrorInvalidAddress;
    if (address.s_addr == htonl(INADDR_BROADCAST)) return kErrorHostIsBroadcast;
  }
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  if (address_text != nullptr) *address_text = text;
  diag::TraceLine("GetHostName: host %s, port %d\n", address_text != nullptr ? text : "(null)", port);
  return 0;
}
