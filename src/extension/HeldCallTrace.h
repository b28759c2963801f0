// The trace lines of the rest of a module call on the host's loop whose
// request to the back end could not all go out at once: held back until the
// rest has gone out, so that they follow the send's own lines, as they do
// where the send waits for the back end to read. Held from Begin on the
// calling thread until CallEnded, which every call on the loop ends with.
#pragma once

#include <memory>
#include <mutex>
#include <string>

class HeldCallTrace {
 public:
  // Holds this thread's lines from now on, until the call ends; the hold
  // already begun in this call, when there is one.
  static std::shared_ptr<HeldCallTrace> Begin();
  // At the end of every module call on the loop: what was held stops
  // growing, and is written now when Write came first.
  static void CallEnded();

  bool CallOver() const;
  // Writes what was held, now or at the end of the call.
  void Write();

 private:
  void WriteLocked();

  mutable std::mutex mutex_;
  std::string lines_;         // appended to by the calling thread until over_
  std::string* outer_ = nullptr;  // the calling thread's hold before this one
  bool over_ = false;         // guarded by mutex_
  bool wanted_ = false;       // guarded by mutex_: Write came before the end
};
