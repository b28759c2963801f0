#include "host/OpenConnections.h"

#include <algorithm>

namespace host {

OpenConnections::Verdict OpenConnections::Admit(std::uint32_t address) {
  std::lock_guard lock(mutex_);
  if (open_ >= limits_.max_connections) return Verdict::kFull;
  const bool capped = limits_.max_per_address != 0 &&
                      std::find(limits_.uncapped.begin(), limits_.uncapped.end(), address) == limits_.uncapped.end();
  if (capped) {
    unsigned& from_address = by_address_[address];
    if (from_address >= limits_.max_per_address) return Verdict::kAddressFull;
    ++from_address;
  }
  ++open_;
  return Verdict::kAdmitted;
}

void OpenConnections::Release(std::uint32_t address) {
  std::lock_guard lock(mutex_);
  --open_;
  if (const auto count = by_address_.find(address); count != by_address_.end() && --count->second == 0) {
    by_address_.erase(count);
  }
}

unsigned OpenConnections::open() const {
  std::lock_guard lock(mutex_);
  return open_;
}

}  // namespace host
