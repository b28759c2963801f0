#include "extension/HeldCallTrace.h"

#include <utility>

#include "diag/TraceLog.h"

namespace {

// Owned by the thread from Begin to CallEnded; a plain pointer, so that no
// thread-local of the module needs a destructor.
thread_local std::shared_ptr<HeldCallTrace>* t_holding = nullptr;

}  // namespace

std::shared_ptr<HeldCallTrace> HeldCallTrace::Begin() {
  if (t_holding != nullptr) return *t_holding;
  auto held = std::make_shared<HeldCallTrace>();
  held->outer_ = diag::TraceHold::Swap(&held->lines_);
  t_holding = new std::shared_ptr<HeldCallTrace>(held);
  return held;
}

void HeldCallTrace::CallEnded() {
  if (t_holding == nullptr) return;
  const std::shared_ptr<HeldCallTrace> held = std::move(*t_holding);
  delete std::exchange(t_holding, nullptr);
  (void)diag::TraceHold::Swap(held->outer_);
  std::lock_guard lock(held->mutex_);
  held->over_ = true;
  if (held->wanted_) held->WriteLocked();
}

bool HeldCallTrace::CallOver() const {
  std::lock_guard lock(mutex_);
  return over_;
}

void HeldCallTrace::Write() {
  std::lock_guard lock(mutex_);
  if (over_) {
    WriteLocked();
  } else {
    wanted_ = true;
  }
}

void HeldCallTrace::WriteLocked() {
  diag::WriteHeld(lines_);
  std::string().swap(lines_);
  wanted_ = false;
}
