#include "sim/Faults.h"

#include <cstdlib>
#include <sstream>

namespace sim {

bool Faults::Set(const std::string& command) {
  std::istringstream words(command);
  std::string name;
  words >> name;
  Fault fault{Fault::Kind::kDelay, 0};
  bool needs_value = true;
  if (name == "delay") fault.kind = Fault::Kind::kDelay;
  else if (name == "length") fault.kind = Fault::Kind::kLength;
  else if (name == "extra") fault.kind = Fault::Kind::kExtra;
  else if (name == "pieces") fault.kind = Fault::Kind::kPieces;
  else if (name == "stall") fault.kind = Fault::Kind::kStall;
  else if (name == "stall-close") fault.kind = Fault::Kind::kStallClose;
  else if (name == "close") fault.kind = Fault::Kind::kClose, needs_value = false;
  else if (name == "badlength") fault.kind = Fault::Kind::kBadLength, needs_value = false;
  else if (name == "refuse-diag") fault.kind = Fault::Kind::kRefuseDiag, needs_value = false;
  else if (name == "down") fault.kind = Fault::Kind::kDown, needs_value = false;
  else return false;
  if (needs_value && !(words >> fault.value)) return false;
  if (fault.kind == Fault::Kind::kPieces && fault.value <= 0) return false;
  long count = 1;
  std::string word;
  if (words >> word && word != "type") {
    char* end = nullptr;
    count = std::strtol(word.c_str(), &end, 10);
    if (end == word.c_str() || *end != '\0') return false;
    word.clear();
    words >> word;
  }
  if (word == "type") {
    if (!(words >> fault.type) || fault.type <= 0) return false;
  } else if (!word.empty()) {
    return false;
  }
  if (count < 0) return false;
  std::lock_guard lock(mutex_);
  fault_ = fault;
  remaining_ = count;
  armed_ = true;
  return true;
}

void Faults::Clear() {
  std::lock_guard lock(mutex_);
  fault_.reset();
  remaining_ = 0;
  armed_ = false;
}

std::optional<Fault> Faults::Take(int type) { return TakeAt(type, false); }

std::optional<Fault> Faults::TakeWhileReading(int type) { return TakeAt(type, true); }

std::optional<Fault> Faults::TakeAt(int type, bool reading) {
  std::lock_guard lock(mutex_);
  if (!fault_) return std::nullopt;
  if (fault_->kind == Fault::Kind::kRefuseDiag && type != 90) return std::nullopt;
  const bool while_reading = fault_->kind == Fault::Kind::kStall || fault_->kind == Fault::Kind::kStallClose;
  if (while_reading != reading) return std::nullopt;
  if (fault_->type != 0 && fault_->type != type) return std::nullopt;
  const Fault fault = *fault_;
  if (remaining_ > 0 && --remaining_ == 0) {
    fault_.reset();
    armed_ = false;
  }
  return fault;
}

}  // namespace sim
