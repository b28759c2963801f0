#include "host/AccessLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/Text.h"

namespace host {
namespace {

struct Sink {
  std::mutex mutex;
  std::FILE* file = nullptr;  // null: standard output; guarded by mutex
  std::string path;           // guarded by mutex
};

Sink& TheSink() {
  // Never destroyed: threads inside module calls may still log while the process exits.
  static auto* sink = new Sink;
  return *sink;
}

}  // namespace

bool OpenAccessLog(const std::string& path, std::string& error) {
  Sink& sink = TheSink();
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) {
    error = "cannot open the access log " + path + ": " + std::strerror(errno);
    return false;
  }
  std::lock_guard lock(sink.mutex);
  if (sink.file != nullptr) std::fclose(sink.file);
  sink.file = file;
  sink.path = path;
  return true;
}

bool ReopenAccessLog(std::string& error) {
  Sink& sink = TheSink();
  std::lock_guard lock(sink.mutex);
  if (sink.file == nullptr) return true;
  std::FILE* file = std::fopen(sink.path.c_str(), "a");
  if (file == nullptr) {
    error = "cannot reopen the access log " + sink.path + ": " + std::strerror(errno) + "; writing on to the old file";
    return false;
  }
  std::fclose(sink.file);
  sink.file = file;
  return true;
}

void WriteAccessLogLine(std::string_view remote, std::string_view method, std::string_view target,
                        unsigned status, std::size_t bytes, std::string_view note) {
  char when[64] = "";
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) {
    std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &local);
  }
  // The method and target are the client's: a control character in them must
  // not forge a line or reach the terminal of whoever tails the log.
  const std::string method_text = text::EscapingControls(method);
  const std::string target_text = text::EscapingControls(target);
  Sink& sink = TheSink();
  // One write per line under the lock: lines from different threads stay
  // whole, and a reopen finds none half written.
  std::lock_guard lock(sink.mutex);
  std::FILE* out = sink.file != nullptr ? sink.file : stdout;
  std::fprintf(out, "%.*s - - [%s] \"%s %s HTTP/1.1\" %u %zu%s%.*s\n", static_cast<int>(remote.size()),
               remote.data(), when, method_text.c_str(), target_text.c_str(), status, bytes,
               note.empty() ? "" : " code=", static_cast<int>(note.size()), note.data());
  std::fflush(out);
}

std::string LoggedTarget(std::string_view path, std::string_view request_name, std::string_view raw_target,
                         bool values) {
  if (values) return std::string(raw_target);
  std::string target(path);
  if (!request_name.empty()) target.append("?varUserRequest=").append(request_name);
  return target;
}

}  // namespace host
