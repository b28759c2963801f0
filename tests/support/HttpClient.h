// A small blocking HTTP/1.1 client for tests, on loopback only.
#pragma once

#include <chrono>
#include <map>
#include <string>

struct HttpResponse {
  int status = 0;  // 0: no answer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string raw;
};

// One request on a fresh connection ("Connection: close"); extra_headers are
// whole lines ending in "\r\n".
HttpResponse HttpFetch(unsigned short port, const std::string& method, const std::string& target,
                       const std::string& body = {}, const std::string& extra_headers = {},
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Sends bytes as they are and returns all that arrives until the server
// closes or nothing arrives for quiet; closed, when given, tells which.
std::string HttpExchangeRaw(unsigned short port, const std::string& bytes,
                            std::chrono::milliseconds quiet = std::chrono::seconds(5), bool* closed = nullptr);

// Splits one response off the front of raw; false when raw holds none.
bool ParseHttpResponse(std::string& raw, HttpResponse& response);

// A connected socket to 127.0.0.1:port, or -1; from, when given, is the
// loopback address to connect from (any of 127.0.0.0/8).
int ConnectLoopback(unsigned short port, const char* from = nullptr);
