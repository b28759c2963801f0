#include "support/HttpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

int ConnectLoopback(unsigned short port, const char* from) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (from != nullptr) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    if (inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string HttpExchangeRaw(unsigned short port, const std::string& bytes,
                            std::chrono::milliseconds quiet, bool* closed) {
  if (closed != nullptr) *closed = false;
  const int fd = ConnectLoopback(port);
  if (fd < 0) return {};
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const auto count = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) break;
    sent += static_cast<std::size_t>(count);
  }
  std::string received;
  char buffer[16384];
  while (true) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(quiet.count())) <= 0) break;
    const auto count = recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) {
      if (closed != nullptr) *closed = true;
      break;
    }
    received.append(buffer, static_cast<std::size_t>(count));
  }
  close(fd);
  return received;
}

bool ParseHttpResponse(std::string& raw, HttpResponse& response) {
  const auto head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos || !raw.starts_with("HTTP/1.")) return false;
  response = {};
  response.status = std::atoi(raw.c_str() + raw.find(' ') + 1);
  std::size_t line_start = raw.find("\r\n") + 2;
  while (line_start < head_end) {
    const auto line_end = raw.find("\r\n", line_start);
    const auto line = raw.substr(line_start, line_end - line_start);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
      response.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
    line_start = line_end + 2;
  }
  std::size_t length = raw.size() - head_end - 4;
  if (const auto found = response.headers.find("content-length"); found != response.headers.end()) {
    length = std::min<std::size_t>(std::strtoul(found->second.c_str(), nullptr, 10), length);
  }
  response.body = raw.substr(head_end + 4, length);
  response.raw = raw.substr(0, head_end + 4 + length);
  raw.erase(0, head_end + 4 + length);
  return true;
}

HttpResponse HttpFetch(unsigned short port, const std::string& method, const std::string& target,
                       const std::string& body, const std::string& extra_headers,
                       std::chrono::milliseconds timeout) {
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                        extra_headers;
  if (!body.empty() || method == "POST") {
    request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n";
  }
  request += "\r\n" + body;
  std::string raw = HttpExchangeRaw(port, request, timeout);
  HttpResponse response;
  ParseHttpResponse(raw, response);
  return response;
}
