// Faults a test switches on to see how the module copes: each applies to the
// next `count` requests (0: until cleared), of one request type when the
// command names one ("fault close 1 type 40").
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>

namespace sim {

struct Fault {
  enum class Kind {
    kDelay,        // answer after `value` milliseconds
    kClose,        // close the connection without answering
    kBadLength,    // announce 10 bytes more than sent, then close
    kLength,       // write `value` into the length field (the body stays as it is,
                   // padded with filler when value is larger)
    kExtra,        // append `value` extra bytes after the answer
    kRefuseDiag,   // answer diagnostics reports with a non-zero code
    kDown,         // close the connection without handling the request: the
                   // back end is gone, nothing of the request is kept
    kPieces,       // write the answer in pieces of `value` bytes, 5 ms apart
    kStall,        // read nothing of the request past its header for `value`
                   // milliseconds: a request larger than the sockets' buffers
                   // cannot all go out until the back end reads again
    kStallClose,   // the same, then close the connection with the rest unread
  };
  Kind kind;
  long value = 0;
  int type = 0;  // the request type it applies to; 0: any
};

class Faults {
 public:
  // "delay 3000 2", "close 1 type 40", "down 0", ...; false when not understood.
  bool Set(const std::string& command);
  void Clear();
  // Whether any fault is set; cheap enough to ask at every request.
  bool Armed() const { return armed_.load(std::memory_order_acquire); }
  // The fault for the next request of type, counted down; none when unset
  // or not applicable (diagnostics refusal applies to reports only).
  std::optional<Fault> Take(int type);
  // The same for a fault that applies while the request is still being read
  // (a stall), by the type its header names; nothing else is counted down.
  std::optional<Fault> TakeWhileReading(int type);

 private:
  std::optional<Fault> TakeAt(int type, bool reading);

  std::mutex mutex_;
  std::optional<Fault> fault_;  // guarded by mutex_
  long remaining_ = 0;          // guarded by mutex_; 0 with a fault: unlimited
  std::atomic<bool> armed_{false};  // written under mutex_
};

}  // namespace sim
