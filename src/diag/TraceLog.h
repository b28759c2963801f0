// The trace file: a text file that support staff read along with a running
// server. Lines carry "seconds.milliseconds thread " from the monotonic clock
// so that interleaved requests can be told apart.
//
// Tracing is on exactly while the file is open. Every writer is one formatted
// write under the log's lock followed by a flush, so lines from many threads
// never mix; when tracing is off a call costs one atomic load.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

// On MinGW "printf" means Microsoft's rules; the module formats by the C99
// ones there too (__USE_MINGW_ANSI_STDIO).
#if defined(__MINGW32__)
#define QX_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define QX_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#endif

namespace diag {

// Seconds and milliseconds of a trace line for a counter value. A frequency of
// 0 (no usable clock) gives zeros instead of dividing by it.
struct TracePrefix {
  int seconds = 0;
  int milliseconds = 0;
};
TracePrefix ComputeTracePrefix(std::int64_t counter, std::int64_t frequency);

class TraceLog {
 public:
  enum class Prefix { kTimeAndThread, kThread, kNone };
  enum class Flush { kYes, kNo };

  TraceLog() = default;
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;
  ~TraceLog();

  // Opens path for appending (created when missing). Returns false and leaves
  // tracing off when it cannot. Called at start, before requests are served.
  bool Open(const std::string& path);

  // Opens the file again by the name Open was given and only then closes the
  // old one, under the lock every line is written under: each line lands
  // whole in one file or the other, so log rotation (rename, then reopen)
  // loses none. When the name cannot be opened the old file stays in use
  // and the result is false. Nothing to do, and true, while tracing is off.
  bool Reopen();

  // Flushes and closes; later writes are dropped. Safe while other threads
  // write: they either finish their line first or find the log closed.
  void Close();

  bool IsOpen() const { return open_.load(std::memory_order_acquire); }

  // Values of %s and %c have their control characters escaped: they may come
  // from visitors, and must not forge lines of their own.
  void Write(Prefix prefix, Flush flush, const char* format, ...) QX_PRINTF_FORMAT(4, 5);
  void WriteV(Prefix prefix, Flush flush, const char* format, va_list args);
  // The module's own text, several lines perhaps, as it is; not flushed
  // unless asked.
  void WriteText(std::string_view text, Flush flush = Flush::kNo);

 private:
  // A line as WriteV would write it, appended to to.
  static void AppendLine(std::string& to, Prefix prefix, const char* format, va_list args);

  std::mutex mutex_;
  std::FILE* file_ = nullptr;  // guarded by mutex_
  std::string path_;           // guarded by mutex_
  std::atomic<bool> open_{false};
};

// The module's one trace file.
TraceLog& Trace();

// Shorthands for the module's trace file, named by the prefix they write.
// All flush after the line unless their name says otherwise.
void TraceLine(const char* format, ...) QX_PRINTF_FORMAT(1, 2);
void TraceLineNoFlush(const char* format, ...) QX_PRINTF_FORMAT(1, 2);
void TraceThreadLine(const char* format, ...) QX_PRINTF_FORMAT(1, 2);
void TraceText(const char* format, ...) QX_PRINTF_FORMAT(1, 2);
void TraceTextNoFlush(const char* format, ...) QX_PRINTF_FORMAT(1, 2);

inline bool TraceOn() { return Trace().IsOpen(); }

// While one lasts, the lines this thread writes (prefix and all, as they
// would have gone to the file) are appended to held instead, for a writer
// that must put them later where a waiting thread would have written them.
// One made inside another holds into its own string until it ends.
class TraceHold {
 public:
  explicit TraceHold(std::string& held);
  ~TraceHold();
  TraceHold(const TraceHold&) = delete;
  TraceHold& operator=(const TraceHold&) = delete;

  // The same as an object, for a hold that ends elsewhere than it began:
  // lines go to held from now on (nowhere else when null); returns the
  // string they went to before, to be put back when it ends.
  static std::string* Swap(std::string* held);

 private:
  std::string* outer_;
};

// Lines held back earlier, written as they are and flushed.
void WriteHeld(std::string_view lines);

}  // namespace diag
