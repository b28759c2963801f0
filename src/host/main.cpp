// quorvix-host: serves one extension module over HTTP.
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/ExtensionModule.h"
#include "host/HostOptions.h"
#include "host/HttpHost.h"

// What must outlive main when the module still works on requests; globals, so
// that leak checkers see them as kept on purpose.
host::HttpHost* g_kept_server = nullptr;
host::ExtensionModule* g_kept_module = nullptr;

namespace {

// Stops the module once, when the server has finished or when the grace is
// over, whichever comes first. Requests still inside the module then wait for
// the back end on the library's threads (a connection, a connect, a
// synchronous answer), and the library cannot stop before they return: the
// module's stop is what cuts those waits short, so it must not wait for them.
class ModuleStop {
 public:
  ModuleStop(host::ExtensionModule& module, std::chrono::seconds grace)
      : thread_([this, &module, grace] {
          {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, grace, [this] { return server_stopped_; });
          }
          module.TerminateExtension(QX_TERM_MUST_UNLOAD);
        }) {}
  // Once the server has stopped: stops the module now unless the grace ran
  // out first, and returns when the module's stop has.
  ~ModuleStop() {
    {
      std::lock_guard lock(mutex_);
      server_stopped_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  ModuleStop(const ModuleStop&) = delete;
  ModuleStop& operator=(const ModuleStop&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool server_stopped_ = false;  // guarded by mutex_
  std::thread thread_;           // last: it uses the members above
};

}  // namespace

int main(int argc, char** argv) {
  const auto parsed = host::ParseHostOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.options) {
    std::fprintf(parsed.exit_code == 0 ? stdout : stderr, "%s\n", parsed.message.c_str());
    return parsed.exit_code;
  }
  const host::HostOptions& options = *parsed.options;

  // Signals are taken by sigwait below; every thread started from here on
  // inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string error;
  auto module = host::ExtensionModule::Load(options.module_path, error);
  if (!module) {
    std::fprintf(stderr, "quorvix-host: %s\n", error.c_str());
    return 1;
  }
  QX_VERSION_INFO version{};
  module->GetExtensionVersion(&version);

  auto server = std::make_unique<host::HttpHost>(options, *module);
  if (!server->Start(error)) {
    std::fprintf(stderr, "quorvix-host: %s\n", error.c_str());
    module->TerminateExtension(QX_TERM_MUST_UNLOAD);
    return 1;
  }
  std::printf("quorvix-host: serving %s (%s)\n", server->Url().c_str(), version.lpszExtensionDesc);
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  std::printf("quorvix-host: stopping\n");
  std::fflush(stdout);
  {
    ModuleStop module_stop(*module, std::chrono::seconds(options.shutdown_grace_s));
    server->Shutdown();
  }
  if (const int busy = server->ModuleRequestsInProgress(); busy > 0) {
    // Module threads still use the code and those requests' control blocks:
    // keep both until the process ends.
    std::fprintf(stderr, "quorvix-host: %d request(s) still inside the module; not unloading it\n", busy);
    g_kept_server = server.release();
    g_kept_module = module.release();
  } else {
    server.reset();
    module.reset();
  }
  std::printf("quorvix-host: stopped\n");
  std::fflush(stdout);
  return 0;
}
