// The limit for voice-browser load: ENQUEUE + QUERYCALLSTATUS pairs sent
// straight to vekacs-sim over kept-open connections, one per thread, for the
// registered calls given, with the fields the module would send.
//
//   vxml_direct_pairs PORT CALLS_FILE THREADS SECONDS
// Prints "pairs/s N".
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

  const long done = bench::RunFlatOut(port, threads, seconds, 1 << 16, [&](int fd, std::size_t i, std::string& response) {
    const auto& [enqueue, status] = pairs[i % pairs.size()];
    return bench::Exchange(fd, enqueue, response) && bench::Exchange(fd, status, response);
  });
  std::printf("pairs/s %.0f\n", static_cast<double>(done) / seconds);
  return 0;
}
