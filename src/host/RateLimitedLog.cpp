#include "host/RateLimitedLog.h"

#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "platform/Text.h"

namespace host {
namespace {

struct Kind {
  std::chrono::steady_clock::time_point last_written;
  unsigned held_back = 0;
};

std::mutex g_mutex;
std::unordered_map<std::string, Kind>* g_kinds = nullptr;  // guarded by g_mutex; never freed

}  // namespace

void LogLimited(std::string_view kind, std::string_view line, std::chrono::seconds interval) {
  const auto now = std::chrono::steady_clock::now();
  unsigned held_back = 0;
  {
    std::lock_guard lock(g_mutex);
    if (g_kinds == nullptr) g_kinds = new std::unordered_map<std::string, Kind>();
    auto [entry, first] = g_kinds->try_emplace(std::string(kind));
    Kind& state = entry->second;
    if (!first && now - state.last_written < interval) {
      ++state.held_back;
      return;
    }
    held_back = state.held_back;
    state = {now, 0};
  }
  std::string text = "quorvix-host: ";
  // What a client sent may end up in a library message.
  text::AppendEscapingControls(text, line);
  if (held_back > 0) text += " (" + std::to_string(held_back) + " more like this not shown)";
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace host
