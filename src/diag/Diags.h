// Diagnostics records: what the module reports about its own condition to
// the back end. Code everywhere calls AddDiag; the records wait in the one
// DiagList until the diagnostics thread reports them, and are trimmed when the
// back end refuses a report.
#pragma once

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace diag {

// Levels; the module writes FENX, INFO, WARN and SEVR.
inline constexpr int kLevelPrgm = 101;
inline constexpr int kLevelFenx = 103;
inline constexpr int kLevelInfo = 104;
inline constexpr int kLevelWarn = 105;
inline constexpr int kLevelSevr = 106;
inline constexpr int kLevelHrbt = 107;
inline constexpr int kLevelInvalid = -1;

// One record.
struct DiagEntry {
  // Levels above 107 or below 0 become kLevelInvalid; the component keeps only
  // what follows its last path separator (".\Diags" becomes "Diags").
  DiagEntry(int level, std::string_view text, std::string_view component, int line,
            std::int64_t time);

  // "<local time> ::<text>::<component>::<line>", as reports and dumps show it.
  std::string TextForm() const;
  std::string_view LevelName() const;

  int level;
  std::int64_t time;  // seconds since 1970
  std::string text;
  std::string component;
  int line;
  bool reported = false;
};

// Results of DiagList::Add.
inline constexpr int kDiagAdded = 1;
inline constexpr int kDiagBelowThreshold = -103;
inline constexpr int kDiagLockFailed = -104;

// The records in arrival order, oldest first. Every operation takes the list's
// own lock and no other, so any thread may call any of them.
class DiagList {
 public:
  // Records above this count are dropped oldest first even when no report ever
  // fails, so that a back end that never answers cannot exhaust the memory.
  static constexpr std::size_t kHardLimit = 50'000;

  explicit DiagList(int minimum_level, std::size_t hard_limit = kHardLimit);

  [[nodiscard]] int Add(DiagEntry entry);
  int MinimumLevel() const { return minimum_level_; }
  std::size_t Count() const;

  // Marks every record as reported and appends its level name and text form.
  void CollectForReport(std::vector<std::string>& report);
  // Drops the reported records at the head (those of the last report).
  void RemoveReported();
  // After a refused report: keeps `limit` records, the oldest of them a notice
  // that records were cut, and makes the kept ones reportable again.
  void Trim(std::size_t limit);
  // Hands every record's text form, then a rule, to sink (the system log by
  // default). Used once, when the diagnostics thread ends.
  void Dump(const std::function<void(std::string_view)>& sink) const;
  void DumpToDebugger() const;

  // Copies of the records, oldest first; for inspection.
  std::vector<DiagEntry> Snapshot() const;

 private:
  const int minimum_level_;
  const std::size_t hard_limit_;
  mutable std::mutex mutex_;
  std::list<DiagEntry> entries_;  // guarded by mutex_
};

// The notice that Trim puts at the head.
inline constexpr std::string_view kTrimNotice =
    "Some diags have been cut because of DIAG_MAX_MEM (see ini-file)";

// Module-wide diagnostics state. The list is installed at start and removed at
// unload; the flag is switched off first at stop.
void SetDiagEnabled(bool enabled);
bool DiagEnabled();
void InstallDiagList(std::shared_ptr<DiagList> list);
std::shared_ptr<DiagList> CurrentDiagList();

namespace detail {
// The gate every record passes, read inline: most entry and exit records fall
// below a production threshold, and every thread passes here many times a
// request. INT_MAX: diagnostics off or no list installed.
inline std::atomic<int> gate_level{INT_MAX};
int AddPastGate(int level, std::string_view text, std::string_view component, int line);
}  // namespace detail

// Levels above 107 or below 0 count as kLevelInvalid.
constexpr int NormalisedLevel(int level) { return (level < 0 || level > kLevelHrbt) ? kLevelInvalid : level; }

// Records text when diagnostics are on and a list exists: returns 1 then
// (whether or not the list kept it), otherwise 0.
inline int AddDiag(int level, std::string_view text, std::string_view component, int line) {
  const int gate = detail::gate_level.load(std::memory_order_acquire);
  if (gate == INT_MAX) return 0;
  if (NormalisedLevel(level) < gate) return 1;
  return detail::AddPastGate(level, text, component, line);
}
// Whether a record of level would be kept now: a text made only for a record
// is made only then.
inline bool DiagKeeps(int level) {
  const int gate = detail::gate_level.load(std::memory_order_acquire);
  return gate != INT_MAX && NormalisedLevel(level) >= gate;
}

// Writes the FENX records of an operation: entering now (none when the text
// is empty), leaving when the scope ends. Every text must outlive the scope
// (string literals do).
class EntryExitRecords {
 public:
  EntryExitRecords(std::string_view entering, std::string_view leaving) : leaving_(leaving) {
    if (!entering.empty()) AddDiag(kLevelFenx, entering, "ISAPI", 0);
  }
  ~EntryExitRecords() {
    if (!leaving_.empty()) AddDiag(kLevelFenx, leaving_, "ISAPI", 0);
  }
  EntryExitRecords(const EntryExitRecords&) = delete;
  EntryExitRecords& operator=(const EntryExitRecords&) = delete;

  // Some paths leave under another name, or without a leaving record (a
  // request left pending is left by its response handler).
  void LeaveAs(std::string_view leaving) { leaving_ = leaving; }
  void Dismiss() { leaving_ = {}; }

 private:
  std::string_view leaving_;
};

}  // namespace diag
