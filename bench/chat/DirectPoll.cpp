// The limit for chat polls: type-50 requests sent straight to vekacs-sim
// over kept-open connections, one per thread, for the sessions given.
//
//   chat_direct_poll PORT SESSIONS_FILE THREADS SECONDS
// Prints "polls/s N".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Codes.h"
#include "protocol/Message.h"
#include "protocol/PasswordScrambling.h"

namespace {

bool SendAll(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t count = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

bool ReceiveAll(int fd, char* buffer, std::size_t length) {
  for (std::size_t done = 0; done < length;) {
    const ssize_t count = recv(fd, buffer + done, length - done, 0);
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

int Connect(int port) {
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: chat_direct_poll PORT SESSIONS_FILE THREADS SECONDS\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  std::vector<std::string> sessions;
  std::ifstream file(argv[2]);
  for (std::string line; std::getline(file, line);) if (!line.empty()) sessions.push_back(line);
  const int threads = std::atoi(argv[3]);
  const int seconds = std::atoi(argv[4]);
  if (sessions.empty()) return 2;

  // The bytes the module sends for a poll, from the protocol library both share.
  std::vector<std::string> messages;
  std::uint32_t id = 0;
  for (const auto& session : sessions) {
    messages.push_back(protocol::EncodeMessage(protocol::kVersion, ++id, protocol::Number(protocol::MessageType::kChatPoll),
                                               {session, "2", ScramblePassword("demo-secret")}));
  }

  std::atomic<long> polls{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      const int fd = Connect(port);
      if (fd < 0) return;
      std::string response(1 << 20, '\0');
      constexpr std::size_t kPrefix = protocol::kLengthPrefixBytes;
      for (std::size_t i = static_cast<std::size_t>(t); !stop; i += static_cast<std::size_t>(threads)) {
        if (!SendAll(fd, messages[i % messages.size()]) || !ReceiveAll(fd, response.data(), kPrefix)) break;
        const auto length = static_cast<std::size_t>(protocol::ReadHeader(response).length);
        if (length < kPrefix || length > response.size()) break;
        if (!ReceiveAll(fd, response.data() + kPrefix, length - kPrefix)) break;
        ++polls;
      }
      close(fd);
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (auto& worker : workers) worker.join();
  std::printf("polls/s %.0f\n", static_cast<double>(polls.load()) / seconds);
  return 0;
}
