// The limit for chat polls: type-50 requests sent straight to vekacs-sim
// over kept-open connections, one per thread, for the sessions given.
//
//   chat_direct_poll PORT SESSIONS_FILE THREADS SECONDS
// Prints "polls/s N".
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "backend/Message.h"
#include "extension/RAVO.h"
#include "net/TRSocket.h"

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

  // The same bytes the module sends: built by the module's own code.
  const auto folder = std::filesystem::temp_directory_path() / ("direct-poll-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "RAVO.ini") << "[VEKASETTINGS]\nPassword=demo-secret\nMinSockets=1\nMaxSockets=1\n";
  CRAVOExtension extension((folder / "quorvix.so").string());
  extension.LoadSettings();
  std::filesystem::remove_all(folder);
  std::vector<std::string> messages;
  for (const auto& session : sessions) {
    MessageBody body;
    AppendMessageField(body, session);
    AppendMessageField(body, "2");
    std::string message;
    std::uint32_t id = 0;
    extension.BuildVEKACSMessage(message, 50, 2, body, id);
    messages.push_back(message);
  }

  std::atomic<long> polls{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      TRSocket socket;
      if (socket.Create(0, 1, nullptr) != 0 || socket.Connect("127.0.0.1", port) != 0) return;
      std::string response(1 << 20, '\0');
      for (std::size_t i = static_cast<std::size_t>(t); !stop; i += static_cast<std::size_t>(threads)) {
        const std::string& message = messages[i % messages.size()];
        std::size_t sent = 0, got = 0;
        bool timed_out = false;
        socket.Send(message.data(), message.size(), sent, 90, 0);
        socket.Receive(response.data(), 29, got, timed_out, 50, 0, true);
        const auto length = static_cast<std::size_t>(LeadingNumber(response, 13, 8, 10));
        if (got != 29 || length < 29 || length > response.size()) return;
        socket.Receive(response.data() + 29, length - 29, got, timed_out, 50, 0, true);
        ++polls;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (auto& worker : workers) worker.join();
  std::printf("polls/s %.0f\n", static_cast<double>(polls.load()) / seconds);
  return 0;
}
