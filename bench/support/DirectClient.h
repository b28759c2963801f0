// A client of the back-end protocol for the benchmarks' direct limits: one
// kept-open loopback connection, one request out and its whole response in.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Message.h"

namespace bench {

inline bool SendAll(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t count = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

inline bool ReceiveAll(int fd, char* buffer, std::size_t length) {
  for (std::size_t done = 0; done < length;) {
    const ssize_t count = recv(fd, buffer + done, length - done, 0);
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

// One request out, its whole response in; false when the connection broke.
inline bool Exchange(int fd, const std::string& message, std::string& response) {
  constexpr std::size_t kPrefix = protocol::kLengthPrefixBytes;
  if (!SendAll(fd, message) || !ReceiveAll(fd, response.data(), kPrefix)) return false;
  const auto length = static_cast<std::size_t>(protocol::ReadHeader(response).length);
  if (length < kPrefix || length > response.size()) return false;
  return ReceiveAll(fd, response.data() + kPrefix, length - kPrefix);
}

inline int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<std::uint16_t>(port));
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Flat out for seconds: threads connections, each on a thread of its own,
// calling step(fd, i, response) with i = the thread's number, then every
// threads-th after it, until time is up or step returns false (the
// connection broke). response: a buffer of response_bytes. Returns the steps
// that succeeded.
inline long RunFlatOut(int port, int threads, int seconds, std::size_t response_bytes,
                       const std::function<bool(int fd, std::size_t i, std::string& response)>& step) {
  std::atomic<long> done{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      const int fd = Connect(port);
      if (fd < 0) return;
      std::string response(response_bytes, '\0');
      for (std::size_t i = static_cast<std::size_t>(t); !stop; i += static_cast<std::size_t>(threads)) {
        if (!step(fd, i, response)) break;
        ++done;
      }
      close(fd);
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (auto& worker : workers) worker.join();
  return done.load();
}

}  // namespace bench
