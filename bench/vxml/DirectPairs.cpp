// The limit for voice-browser load: ENQUEUE + QUERYCALLSTATUS pairs sent
// straight to vekacs-sim over kept-open connections, one per thread, for the
// registered calls given, with the fields the module would send.
//
//   vxml_direct_pairs PORT CALLS_FILE THREADS SECONDS
// Prints "pairs/s N".
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

// One request out, its whole response in; false when the connection broke.
bool Exchange(int fd, const std::string& message, std::string& response) {
  constexpr std::size_t kPrefix = protocol::kLengthPrefixBytes;
  if (!SendAll(fd, message) || !ReceiveAll(fd, response.data(), kPrefix)) return false;
  const auto length = static_cast<std::size_t>(protocol::ReadHeader(response).length);
  if (length < kPrefix || length > response.size()) return false;
  return ReceiveAll(fd, response.data() + kPrefix, length - kPrefix);
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
    std::fprintf(stderr, "usage: vxml_direct_pairs PORT CALLS_FILE THREADS SECONDS\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  std::vector<std::string> calls;
  std::ifstream file(argv[2]);
  for (std::string line; std::getline(file, line);) {
    if (!line.empty()) calls.push_back(line);
  }
  const int threads = std::atoi(argv[3]);
  const int seconds = std::atoi(argv[4]);
  if (calls.empty() || threads < 1) return 2;

  // The bytes the module sends for the pair, from the protocol library both share.
  using protocol::MessageType;
  const std::string password = ScramblePassword("demo-secret");
  std::vector<std::pair<std::string, std::string>> pairs;
  std::uint32_t id = 0;
  for (const auto& call : calls) {
    const std::uint32_t enqueue_id = ++id;
    const std::uint32_t status_id = ++id;
    pairs.emplace_back(
        protocol::EncodeMessage(protocol::kVersion, enqueue_id, protocol::Number(MessageType::kVoiceEnqueue),
                                {call, "1", "Support", "5", "Bench", "", "0", password}),
        protocol::EncodeMessage(protocol::kVersion, status_id, protocol::Number(MessageType::kVoiceQueryCallStatus),
                                {call, "20", password}));
  }

  std::atomic<long> done{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      const int fd = Connect(port);
      if (fd < 0) return;
      std::string response(1 << 16, '\0');
      for (std::size_t i = static_cast<std::size_t>(t); !stop; i += static_cast<std::size_t>(threads)) {
        const auto& [enqueue, status] = pairs[i % pairs.size()];
        if (!Exchange(fd, enqueue, response) || !Exchange(fd, status, response)) break;
        ++done;
      }
      close(fd);
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (auto& worker : workers) worker.join();
  std::printf("pairs/s %.0f\n", static_cast<double>(done.load()) / seconds);
  return 0;
}
