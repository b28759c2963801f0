#include "diag/TraceLog.h"

#include <cstdarg>

#include "diag/EscapingFormat.h"
#include "platform/Clock.h"
#include "platform/NoDestructor.h"

namespace diag {

TracePrefix ComputeTracePrefix(std::int64_t counter, std::int64_t frequency) {
  if (frequency <= 0) return {};
  // (counter % frequency) * 1000 / frequency equals (counter * 1000 / frequency)
  // % 1000 without the overflow of counter * 1000 after months of uptime.
  return {static_cast<int>(counter / frequency),
          static_cast<int>((counter % frequency) * 1000 / frequency)};
}

TraceLog::~TraceLog() { Close(); }

bool TraceLog::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (file_ != nullptr) return true;
  file_ = std::fopen(path.c_str(), "a+");
  if (file_ != nullptr) path_ = path;
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
  std::lock_guard lock(mutex_);
  if (file_ == nullptr) return;
  switch (prefix) {
    case Prefix::kTimeAndThread: {
      const auto time = ComputeTracePrefix(platform::MonotonicCounter(), platform::kCounterFrequency);
      std::fprintf(file_, "%d.%03d %04X ", time.seconds, time.milliseconds,
                   platform::CurrentThreadId());
      break;
    }
    case Prefix::kThread:
      std::fprintf(file_, "%04X ", platform::CurrentThreadId());
      break;
    case Prefix::kNone:
      break;
  }
  const std::string text = FormatEscapingValues(format, args);
  std::fwrite(text.data(), 1, text.size(), file_);
  if (flush == Flush::kYes) std::fflush(file_);
}

void TraceLog::WriteText(std::string_view text) {
  if (!IsOpen()) return;
  std::lock_guard lock(mutex_);
  if (file_ != nullptr) std::fwrite(text.data(), 1, text.size(), file_);
}

TraceLog& Trace() {
  // Never destroyed, so that threads still tracing while the process exits
  // find a closed log rather than a destroyed one; exit() flushes the file.
  static platform::NoDestructor<TraceLog> log;
  return *log;
}

#define QX_FORWARD_TRACE(prefix, flush)                   \
  do {                                                    \
    if (!Trace().IsOpen()) return;                        \
    va_list args;                                         \
    va_start(args, format);                               \
    Trace().WriteV(TraceLog::Prefix::prefix, TraceLog::Flush::flush, format, args); \
    va_end(args);                                         \
  } while (0)

void TraceLine(const char* format, ...) { QX_FORWARD_TRACE(kTimeAndThread, kYes); }
void TraceLineNoFlush(const char* format, ...) { QX_FORWARD_TRACE(kTimeAndThread, kNo); }
void TraceThreadLine(const char* format, ...) { QX_FORWARD_TRACE(kThread, kYes); }
void TraceText(const char* format, ...) { QX_FORWARD_TRACE(kNone, kYes); }
void TraceTextNoFlush(const char* format, ...) { QX_FORWARD_TRACE(kNone, kNo); }

#undef QX_FORWARD_TRACE

}  // namespace diag
