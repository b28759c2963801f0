#include "diag/Diags.h"

#include <algorithm>
#include <climits>
#include <exception>

#include "platform/DebugOutput.h"
#include "platform/NoDestructor.h"

namespace diag {
namespace {

std::string_view LastPathComponent(std::string_view component) {
  const auto separator = component.find_last_of("\\/");
  return separator == std::string_view::npos ? component : component.substr(separator + 1);
}

std::atomic<bool> g_enabled{false};
// The installed list's minimum level (INT_MAX: no list).
std::atomic<int> g_minimum_level{INT_MAX};

// The inline gate is open only while both hold: records are on and a list
// with a minimum level is installed. Callers hold the lock, so that two
// changes at once cannot leave the gate as neither of them set it.
std::mutex g_gate_mutex;
void UpdateGate() {
  detail::gate_level.store(g_enabled.load(std::memory_order_acquire) ? g_minimum_level.load(std::memory_order_acquire)
                                                                      : INT_MAX,
                           std::memory_order_release);
}

// Never destroyed: the extension object, itself a static of the module,
// uninstalls the list from its destructor, after this file's statics are gone.
std::atomic<std::shared_ptr<DiagList>>& InstalledList() {
  static platform::NoDestructor<std::atomic<std::shared_ptr<DiagList>>> list;
  return *list;
}

}  // namespace

DiagEntry::DiagEntry(int level_in, std::string_view text_in, std::string_view component_in,
                     int line_in, std::int64_t time_in)
    : level(NormalisedLevel(level_in)),
      time(time_in),
      text(text_in),
      component(LastPathComponent(component_in)),
      line(line_in) {}

std::string DiagEntry::TextForm() const {
  char when[129] = "";
  const std::time_t seconds = static_cast<std::time_t>(time);
  std::tm local{};
  if (localtime_r(&seconds, &local) != nullptr) {
    if (std::strftime(when, sizeof when, "%A, %B %d, %Y - %H:%M:%S ", &local) == 0) when[0] = '\0';
  }
  std::string form(when);
  form.append("::").append(text).append("::").append(component).append("::");
  form.append(std::to_string(line));
  return form;
}

std::string_view DiagEntry::LevelName() const {
  switch (level) {
    case kLevelPrgm: return "PRGM";
    case kLevelFenx: return "FENX";
    case kLevelWarn: return "WARN";
    case kLevelSevr: return "SEVR";
    case kLevelHrbt: return "HRBT";
    default: return "INFO";
  }
}

DiagList::DiagList(int minimum_level, std::size_t hard_limit)
    : minimum_level_(minimum_level), hard_limit_(std::max<std::size_t>(hard_limit, 1)) {}

int DiagList::Add(DiagEntry entry) {
  if (entry.level < minimum_level_) return kDiagBelowThreshold;
  try {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    while (entries_.size() > hard_limit_) entries_.pop_front();
  } catch (const std::exception&) {
    return kDiagLockFailed;
  }
  return kDiagAdded;
}

std::size_t DiagList::Count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void DiagList::CollectForReport(std::vector<std::string>& report) {
  std::lock_guard lock(mutex_);
  report.reserve(report.size() + 2 * entries_.size());
  for (auto& entry : entries_) {
    entry.reported = true;
    report.emplace_back(entry.LevelName());
    report.push_back(entry.TextForm());
  }
}

void DiagList::RemoveReported() {
  std::lock_guard lock(mutex_);
  while (!entries_.empty() && entries_.front().reported) entries_.pop_front();
}

void DiagList::Trim(std::size_t limit) {
  limit = std::max<std::size_t>(limit, 1);
  std::lock_guard lock(mutex_);
  const std::size_t count = entries_.size();
  const bool must_cut = count > limit;
  std::size_t index = 0;
  for (auto& entry : entries_) {
    if (must_cut && index < count - limit) {
      ++index;
      continue;
    }
    if (!entry.reported) break;
    entry.reported = false;
    ++index;
  }
  if (!must_cut) return;
  for (std::size_t removed = 0; removed < count - limit + 1; ++removed) entries_.pop_front();
  entries_.emplace_front(kLevelWarn, kTrimNotice, "Diags", 339, static_cast<std::int64_t>(std::time(nullptr)));
}

void DiagList::Dump(const std::function<void(std::string_view)>& sink) const {
  std::lock_guard lock(mutex_);
  for (const auto& entry : entries_) sink(entry.TextForm() + "\n");
  sink("-----------------------\n");
}

void DiagList::DumpToDebugger() const { Dump(platform::OutputDebugText); }

std::vector<DiagEntry> DiagList::Snapshot() const {
  std::lock_guard lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

void SetDiagEnabled(bool enabled) {
  std::lock_guard lock(g_gate_mutex);
  g_enabled.store(enabled, std::memory_order_release);
  UpdateGate();
}
bool DiagEnabled() { return g_enabled.load(std::memory_order_acquire); }
void InstallDiagList(std::shared_ptr<DiagList> list) {
  std::lock_guard lock(g_gate_mutex);
  g_minimum_level.store(list ? list->MinimumLevel() : INT_MAX, std::memory_order_release);
  InstalledList().store(std::move(list));
  UpdateGate();
}
std::shared_ptr<DiagList> CurrentDiagList() { return InstalledList().load(); }

int detail::AddPastGate(int level, std::string_view text, std::string_view component, int line) {
  const auto list = CurrentDiagList();
  if (!list) return 0;
  (void)list->Add(DiagEntry(level, text, component, line, static_cast<std::int64_t>(std::time(nullptr))));
  return 1;
}

}  // namespace diag
