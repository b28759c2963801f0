// The limit for chat polls: type-50 requests sent straight to vekacs-sim
// over kept-open connections, one per thread, for the sessions given.
//
//   chat_direct_poll PORT SESSIONS_FILE THREADS SECONDS
// Prints "polls/s N".
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/DirectClient.h"
#include "protocol/Codes.h"
#include "protocol/Message.h"
#include "protocol/PasswordScrambling.h"

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
      const int fd = bench::Connect(port);
      if (fd < 0) return;
      std::string response(1 << 20, '\0');
      for (std::size_t i = static_cast<std::size_t>(t); !stop; i += static_cast<std::size_t>(threads)) {
        if (!bench::Exchange(fd, messages[i % messages.size()], response)) break;
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
