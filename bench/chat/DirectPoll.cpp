// The limit for chat polls: type-50 requests sent straight to vekacs-sim
// over kept-open connections, one per thread, for the sessions given.
//
//   chat_direct_poll PORT SESSIONS_FILE THREADS SECONDS
// Prints "polls/s N".
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
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

  const long polls = bench::RunFlatOut(port, threads, seconds, 1 << 20, [&](int fd, std::size_t i, std::string& response) {
    return bench::Exchange(fd, messages[i % messages.size()], response);
  });
  std::printf("polls/s %.0f\n", static_cast<double>(polls) / seconds);
  return 0;
}
