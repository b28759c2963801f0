#include "host/AccessLog.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "platform/Text.h"

namespace host {

void WriteAccessLogLine(std::string_view remote, std::string_view method, std::string_view target,
                        unsigned status, std::size_t bytes) {
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
  // One call per line: stdio's lock keeps lines from different threads whole.
  std::printf("%.*s - - [%s] \"%s %s HTTP/1.1\" %u %zu\n", static_cast<int>(remote.size()), remote.data(), when,
              method_text.c_str(), target_text.c_str(), status, bytes);
  std::fflush(stdout);
}

}  // namespace host
