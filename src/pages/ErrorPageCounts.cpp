#include "pages/ErrorPageCounts.h"

#include <atomic>
#include <cstdio>

namespace pages {
namespace {

// A slot's key is the code as a number plus one (0: free); codes of one to
// six digits fit. Slots are taken once and never given back, so a lookup
// never races with a removal.
constexpr std::uint32_t kOther = 0xFFFFFFFFu;
constexpr std::size_t kSlots = QX_ERROR_PAGE_CODES_KEPT;

struct Slot {
  std::atomic<std::uint32_t> key{0};
  std::atomic<std::uint64_t> count{0};
};

Slot slots[kSlots];
std::atomic<std::uint64_t> others{0};

std::uint32_t KeyOf(std::string_view code) {
  if (code.empty() || code.size() > 6) return kOther;
  std::uint32_t number = 0;
  for (const char c : code) {
    if (c < '0' || c > '9') return kOther;
    number = number * 10 + static_cast<std::uint32_t>(c - '0');
  }
  // "0042" and "42" would share a key while showing different codes.
  if (code.size() > 1 && code.front() == '0') return kOther;
  return number + 1;
}

}  // namespace

void ErrorPageLabel(std::string_view code, char (&label)[8]) {
  const std::uint32_t key = KeyOf(code);
  if (key == kOther) {
    std::snprintf(label, sizeof label, "other");
  } else {
    code.copy(label, sizeof label - 1);  // at most six digits
    label[code.size()] = '\0';
  }
}

void CountErrorPage(std::string_view code) {
  const std::uint32_t key = KeyOf(code);
  if (key != kOther) {
    for (auto& slot : slots) {
      std::uint32_t seen = slot.key.load(std::memory_order_acquire);
      if (seen == 0 && slot.key.compare_exchange_strong(seen, key, std::memory_order_acq_rel)) seen = key;
      if (seen == key) {
        slot.count.fetch_add(1, std::memory_order_relaxed);
        return;
      }
    }
  }
  others.fetch_add(1, std::memory_order_relaxed);
}

std::uint32_t CopyErrorPageCounts(QX_ERROR_PAGE_COUNT* counts, std::uint32_t capacity) {
  std::uint32_t found = 0;
  const auto put = [&](const char* code, std::uint64_t count) {
    if (counts != nullptr && found < capacity) {
      std::snprintf(counts[found].code, sizeof counts[found].code, "%.7s", code);
      counts[found].count = count;
    }
    ++found;
  };
  for (const auto& slot : slots) {
    const std::uint32_t key = slot.key.load(std::memory_order_acquire);
    if (key == 0) break;  // slots are taken in order
    // Keys come from codes of at most six digits.
    char code[12];
    std::snprintf(code, sizeof code, "%u", key - 1);
    put(code, slot.count.load(std::memory_order_relaxed));
  }
  const std::uint64_t other = others.load(std::memory_order_relaxed);
  if (other > 0) put("other", other);
  return found;
}

}  // namespace pages
