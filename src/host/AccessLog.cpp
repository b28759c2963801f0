#include "host/AccessLog.h"

#include <cstdio>
#include <ctime>

namespace host {

void WriteAccessLogLine(std::string_view remote, std::string_view method, std::string_view target,
                        unsigned status, std::size_t bytes) {
  char when[64] = "";
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) {
    std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &local);
  }
  // One call per line: stdio's lock keeps lines from different threads whole.
  std::printf("%.*s - - [%s] \"%.*s %.*s HTTP/1.1\" %u %zu\n", static_cast<int>(remote.size()),
              remote.data(), when, static_cast<int>(method.size()), method.data(),
              static_cast<int>(target.size()), target.data(), status, bytes);
  std::fflush(stdout);
}

}  // namespace host
