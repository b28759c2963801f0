#include "support/HostProcess.h"

#include <signal.h>

#include <cstdlib>

namespace {

std::vector<std::string> HostArguments(const std::string& module_path, std::vector<std::string> extra,
                                       std::vector<std::string> argv) {
  argv.insert(argv.end(), {HostBinaryPath(), "--module", module_path, "--listen", "127.0.0.1:0"});
  // The end-to-end suites run twice: with the host's event-loop service (the
  // module's exchanges on the host's loops) and as in a web server without
  // it (its worker threads). Options a test gives come later and win.
  const char* path = std::getenv("QUORVIX_TEST_EXCHANGE_PATH");
  argv.push_back(path != nullptr && std::string(path) == "worker" ? "--no-loop-service" : "--loop-service");
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

}  // namespace

std::string HostBinaryPath() { return QUORVIX_HOST_PATH; }

HostProcess::HostProcess(const std::string& module_path, std::vector<std::string> extra,
                         std::vector<std::string> launcher)
    : process_(HostArguments(module_path, std::move(extra), std::move(launcher))) {
  const std::string line = process_.WaitForLine("serving http://", std::chrono::seconds(20));
  const auto at = line.find("http://127.0.0.1:");
  if (at == std::string::npos) return;
  const auto port_start = at + std::string("http://127.0.0.1:").size();
  const auto slash = line.find('/', port_start);
  port_ = static_cast<unsigned short>(std::atoi(line.substr(port_start, slash - port_start).c_str()));
  path_ = line.substr(slash, line.find(' ', slash) - slash);
  // Its metrics listener, when asked for, is announced before the serving.
  const std::string output = process_.Output();
  const std::string marker = "metrics on http://127.0.0.1:";
  if (const auto metrics = output.find(marker); metrics != std::string::npos) {
    metrics_port_ = static_cast<unsigned short>(std::atoi(output.c_str() + metrics + marker.size()));
  }
}

std::unique_ptr<HostProcess> HostProcess::ForSite(const std::string& site_dir, std::vector<std::string> extra) {
  return std::make_unique<HostProcess>(site_dir + "quorvix.so", std::move(extra));
}

HttpResponse HostProcess::Get(const std::string& query) const {
  return HttpFetch(port_, "GET", path_ + (query.empty() ? "" : "?" + query));
}

HttpResponse HostProcess::Post(const std::string& body, const std::string& query) const {
  return HttpFetch(port_, "POST", path_ + (query.empty() ? "" : "?" + query), body);
}

int HostProcess::Stop() { return process_.Stop(SIGTERM, std::chrono::seconds(40)); }
