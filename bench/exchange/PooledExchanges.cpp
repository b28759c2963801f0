// Exchanges per second through the module's plain pool against a running
// vekacs-sim, timed with a loop of its own rather than a benchmark library,
// so that one program runs natively and, cross-compiled, under Wine
// (bench/exchange/run --wine).
//
// pooled_exchanges --port=PORT [--seconds=S] [--threads=N,...]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backend/Message.h"
#include "extension/RAVO.h"

namespace {

// Exchanges per second of threads threads, each exchanging flat out.
double Rate(CRAVOExtension& extension, const std::string& message, int threads, double seconds) {
  std::atomic<bool> stop{false};
  std::atomic<long long> done{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> workers;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&] {
      std::string reply;
      long long count = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        if (!extension.CommunicateWithVEKACS(message, reply, reply, nullptr, false)) {
          failed = true;
          break;
        }
        ++count;
      }
      done += count;
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& worker : workers) worker.join();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return failed ? -1.0 : static_cast<double>(done.load()) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  double seconds = 3;
  std::vector<int> thread_counts = {1, 8};
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--port=", 7) == 0) port = std::atoi(argv[i] + 7);
    if (std::strncmp(argv[i], "--seconds=", 10) == 0) seconds = std::atof(argv[i] + 10);
    if (std::strncmp(argv[i], "--threads=", 10) == 0) {
      thread_counts.clear();
      std::stringstream list(argv[i] + 10);
      for (std::string item; std::getline(list, item, ',');) thread_counts.push_back(std::atoi(item.c_str()));
    }
  }
  if (port == 0) {
    std::fprintf(stderr, "pooled_exchanges: --port=PORT of a running vekacs-sim is required\n");
    return 2;
  }
  const auto folder = std::filesystem::temp_directory_path() /
                      ("pooled-exchanges-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "RAVO.ini") << "[VEKASETTINGS]\nAddress=127.0.0.1\nPort=" << port
                                     << "\nMinSockets=64\nMaxSockets=64\nPassword=demo-secret\n"
                                     << "[DIAGSETTINGS]\nTHRESHOLD=106\n";
  int status = 0;
  {
    CRAVOExtension extension((folder / "quorvix").string());
    isapi::VersionInfo version{};
    extension.GetExtensionVersion(&version);
    MessageBody body;
    AppendMessageField(body, "bench-host");
    AppendMessageField(body, "webchat");
    AppendMessageField(body, "80");
    std::string message;
    std::uint32_t id = 0;
    extension.BuildVEKACSMessage(message, 1000, 3, body, id);
    for (const int threads : thread_counts) {
      const double rate = Rate(extension, message, threads, seconds);
      if (rate < 0) {
        std::fprintf(stderr, "pooled_exchanges: an exchange failed\n");
        status = 1;
        break;
      }
      std::printf("%d %.0f\n", threads, rate);
    }
    extension.TerminateExtension(isapi::kTermMustUnload);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return status;
}
