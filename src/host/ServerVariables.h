// What GetServerVariable answers for a request: the CGI-style variables and
// HTTP_<NAME> for every request header, taken once when the headers are in.
#pragma once

#include <microhttpd.h>

#include <string>

namespace host {

class HostRequest;

// Where the host listens, as the module sees it when the request names no Host.
struct ServerAddress {
  std::string name;
  unsigned short port = 0;
};

// Fills request.variables and request.remote_address from connection. Call
// on the library's thread, in the first access-handler call of the request,
// before the module runs: from then on both are read-only.
void CollectServerVariables(MHD_Connection* connection, const ServerAddress& server, HostRequest& request);

}  // namespace host
