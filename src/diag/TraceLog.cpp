#include "diag/TraceLog.h"

#include <algorithm>
#include <cstdarg>
#include <utility>

#include "diag/EscapingFormat.h"
#include "platform/Clock.h"
#include "platform/NoDestructor.h"

namespace diag {

namespace {

thread_local std::string* t_held = nullptr;

}  // namespace

TraceHold::TraceHold(std::string& held) : outer_(Swap(&held)) {}

TraceHold::~TraceHold() { (void)Swap(outer_); }

std::string* TraceHold::Swap(std::string* held) { return std::exchange(t_held, held); }

void WriteHeld(std::string_view lines) {
  if (!lines.empty()) Trace().WriteText(lines, TraceLog::Flush::kYes);
}

TracePrefix ComputeTracePrefix(std::int64_t counter, std::int64_t frequency) {
  if (frequency <= 0) return {};
  // (counter % frequency) * 1000 / frequency equals (counter * 1000 / frequency)
  // % 1000 without the overflow of counter * 1000 after months of uptime.
  return {static_cast<int>(counter / frequency),
          static_cast<int>((counter % frequency) * 1000 / frequency)};
}

namespace {
// How many logs are open, for the writers below to return at once while none
// is: nearly always in production, and a request passes them dozens of times.
std::atomic<int> g_open_logs{0};
}  // namespace

TraceLog::~TraceLog() { Close(); }

bool TraceLog::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (file_ != nullptr) return true;
  file_ = std::fopen(path.c_str(), "a+");
  if (file_ != nullptr) {
    path_ = path;
    g_open_logs.fetch_add(1, std::memory_order_acq_rel);
  }
  open_.store(file_ != nullptr, std::memory_order_release);
  return file_ != nullptr;
}

bool TraceLog::Reopen() {
  std::lock_guard lock(mutex_);
  if (file_ == nullptr) return true;
  std::FILE* file = std::fopen(path_.c_str(), "a+");
  if (file == nullptr) return false;
  std::fclose(file_);
  file_ = file;
  return true;
}

void TraceLog::Close() {
  std::lock_guard lock(mutex_);
  open_.store(false, std::memory_order_release);
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
    g_open_logs.fetch_sub(1, std::memory_order_acq_rel);
  }
  // The log itself is never destroyed; what it holds on the heap must go
  // with the module.
  std::string().swap(path_);
}

void TraceLog::Write(Prefix prefix, Flush flush, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteV(prefix, flush, format, args);
  va_end(args);
}

void TraceLog::WriteV(Prefix prefix, Flush flush, const char* format, va_list args) {
  if (!IsOpen()) return;
  if (t_held != nullptr) {
    AppendLine(*t_held, prefix, format, args);
    return;
  }
  std::string line;
  AppendLine(line, prefix, format, args);
  std::lock_guard lock(mutex_);
  if (file_ == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file_);
  if (flush == Flush::kYes) std::fflush(file_);
}

void TraceLog::AppendLine(std::string& to, Prefix prefix, const char* format, va_list args) {
  char start[48];
  int length = 0;
  switch (prefix) {
    case Prefix::kTimeAndThread: {
      const auto time = ComputeTracePrefix(platform::MonotonicCounter(), platform::kCounterFrequency);
      length = std::snprintf(start, sizeof start, "%d.%03d %04X ", time.seconds, time.milliseconds,
                             platform::CurrentThreadId());
      break;
    }
    case Prefix::kThread:
      length = std::snprintf(start, sizeof start, "%04X ", platform::CurrentThreadId());
      break;
    case Prefix::kNone:
      break;
  }
  if (length > 0) to.append(start, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof start - 1));
  to += FormatEscapingValues(format, args);
}

void TraceLog::WriteText(std::string_view text, Flush flush) {
  if (!IsOpen()) return;
  if (t_held != nullptr) {
    t_held->append(text);
    return;
  }
  std::lock_guard lock(mutex_);
  if (file_ == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), file_);
  if (flush == Flush::kYes) std::fflush(file_);
}

TraceLog& Trace() {
  // Never destroyed, so that threads still tracing while the process exits
  // find a closed log rather than a destroyed one; exit() flushes the file.
  static platform::NoDestructor<TraceLog> log;
  return *log;
}

#define QX_FORWARD_TRACE(prefix, flush)                                                \
  do {                                                                                 \
    if (g_open_logs.load(std::memory_order_acquire) == 0 || !Trace().IsOpen()) return; \
    va_list args;                                                                      \
    va_start(args, format);                                                            \
    Trace().WriteV(TraceLog::Prefix::prefix, TraceLog::Flush::flush, format, args);    \
    va_end(args);                                                                      \
  } while (0)

void TraceLine(const char* format, ...) { QX_FORWARD_TRACE(kTimeAndThread, kYes); }
void TraceLineNoFlush(const char* format, ...) { QX_FORWARD_TRACE(kTimeAndThread, kNo); }
void TraceThreadLine(const char* format, ...) { QX_FORWARD_TRACE(kThread, kYes); }
void TraceText(const char* format, ...) { QX_FORWARD_TRACE(kNone, kYes); }
void TraceTextNoFlush(const char* format, ...) { QX_FORWARD_TRACE(kNone, kNo); }

#undef QX_FORWARD_TRACE

}  // namespace diag
