#include "support/SimProcess.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/HttpClient.h"

namespace {

unsigned short PortAfter(const std::string& line, const std::string& marker) {
  const auto at = line.find(marker);
  if (at == std::string::npos) return 0;
  return static_cast<unsigned short>(std::atoi(line.c_str() + at + marker.size()));
}

}  // namespace

std::string SimBinaryPath() { return QUORVIX_SIM_PATH; }

SimProcess::SimProcess(std::vector<std::string> extra)
    : process_([&] {
        std::vector<std::string> argv = {SimBinaryPath(), "--listen", "127.0.0.1:0", "--control",
                                         "127.0.0.1:0", "--quiet"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
      }()) {
  port_ = PortAfter(process_.WaitForLine("listening on 127.0.0.1:", std::chrono::seconds(20)),
                    "listening on 127.0.0.1:");
  control_port_ = PortAfter(process_.WaitForLine("control on 127.0.0.1:", std::chrono::seconds(20)),
                            "control on 127.0.0.1:");
  if (std::find(extra.begin(), extra.end(), "--tls-listen") != extra.end()) {
    tls_port_ = PortAfter(process_.WaitForLine("TLS on 127.0.0.1:", std::chrono::seconds(20)), "TLS on 127.0.0.1:");
  }
}

std::string SimProcess::Control(const std::string& command) const {
  const int fd = ConnectLoopback(control_port_);
  if (fd < 0) return "ERR no control connection";
  const std::string line = command + "\n";
  send(fd, line.data(), line.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[4096];
  while (answer.find("END\n") == std::string::npos && answer.rfind("ERR", 0) != 0) {
    const auto count = recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(count));
  }
  close(fd);
  const auto end = answer.rfind("END\n");
  return end == std::string::npos ? answer : answer.substr(0, end);
}

std::vector<std::string> SimProcess::ControlLines(const std::string& command) const {
  std::vector<std::string> lines;
  std::istringstream text(Control(command));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

bool SimProcess::WaitForConnections(int count) const {
  for (int attempt = 0; attempt < 500; ++attempt) {
    const std::string stats = Control("stats");
    const auto at = stats.find("accepted=");
    if (at != std::string::npos && std::atoi(stats.c_str() + at + 9) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int SimProcess::OpenConnections() const {
  const std::string stats = Control("stats");
  const auto at = stats.find("open=");
  return at == std::string::npos ? -1 : std::atoi(stats.c_str() + at + 5);
}

std::string SimProcess::IniSettings(int min_sockets, int max_sockets) const {
  return "[VEKASETTINGS]\nAddress=127.0.0.1\nPort=" + std::to_string(port_) + "\nMinSockets=" +
         std::to_string(min_sockets) + "\nMaxSockets=" + std::to_string(max_sockets) +
         "\nPassword=demo-secret\n";
}

void SimProcess::InstallSite(const std::string& from, const std::string& to) const {
  std::filesystem::copy(from, to, std::filesystem::copy_options::recursive);
  // A trace left in the source folder by a manual run would satisfy a test's
  // wait for a trace line before its own request wrote it.
  std::filesystem::remove(to + "debug.txt");
  const std::string path = to + "RAVO.ini";
  std::ifstream in(path);
  std::ostringstream out;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Port=", 0) == 0) line = "Port=" + std::to_string(port_);
    // The sample ships with the trace off; tests read it.
    if (line.rfind("DebugOutput=", 0) == 0) line = "DebugOutput=yes";
    out << line << "\n";
  }
  in.close();
  std::ofstream(path, std::ios::trunc) << out.str();
}

int SimProcess::Stop() { return process_.Stop(SIGTERM, std::chrono::seconds(20)); }
