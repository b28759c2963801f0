// The one wait a pending request may have armed on its connection's loop,
// for the event-loop service the host offers the module: a socket of the
// module's becoming readable or writable, a deadline, or the host giving the
// request up. The callback runs on the loop, as a module call (so that one
// which blocks has its loop handed on like any other).
//
// Threads: Arm, Cancel and Close from any thread (the module's); Abandon on
// the loop. What the loop owns (the socket watch, the timer) is touched only
// on the loop; the rest is guarded by mutex_. Kept alive by its request and
// by the handlers it has armed.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "host/HandlerMemory.h"
#include "isapi/httpext.h"

namespace host {

class ModuleSocketWatch;

class LoopWait : public std::enable_shared_from_this<LoopWait> {
 public:
  explicit LoopWait(boost::asio::any_io_executor executor);
  // The socket stays the module's, also when a stopped loop drops the waits.
  ~LoopWait();
  LoopWait(const LoopWait&) = delete;
  LoopWait& operator=(const LoopWait&) = delete;

  // Replaces what was armed; false once closed.
  bool Arm(int fd, std::uint32_t events, std::int64_t deadline_ns, QX_LOOP_CALLBACK callback, void* context);
  void Cancel();
  // The host answered the request without the module: the armed wait, or the
  // next one, calls back at once with QX_LOOP_ABANDONED.
  void Abandon();
  // The module is done with the session: nothing is armed any more.
  void Close();

  // On the loop, from its ModuleSocketWatch: the socket of that generation's
  // wait is ready for events (QX_LOOP_READABLE, QX_LOOP_WRITABLE). False when
  // the callback's thread lost the loop meanwhile (see EventLoops::EndCall).
  bool SocketReady(std::uint64_t generation, std::uint32_t events);

  // The loop's io_context, for EventLoops::AfterCall. Any thread.
  const boost::asio::execution_context& Context() const;

 private:
  struct Armed {
    int fd = -1;
    std::uint32_t events = 0;
    std::int64_t deadline_ns = 0;
    QX_LOOP_CALLBACK callback = nullptr;
    void* context = nullptr;
  };

  // Withdraws what is armed and starts a new generation: call with mutex_ held.
  std::uint64_t NextGenerationLocked();
  void Post(std::uint64_t generation, bool arm, std::uint32_t events);
  void ArmOnLoop(std::uint64_t generation);
  void ArmLatest();  // on the loop: ArmOnLoop for the wait armed last
  bool Fire(std::uint64_t generation, std::uint32_t events);
  void Disarm();  // on the loop

  const boost::asio::any_io_executor executor_;
  ModuleSocketWatch& sockets_;
  int watched_fd_ = -1;               // on the loop only
  boost::asio::steady_timer timer_;   // on the loop only
  HandlerMemory timer_memory_;        // for timer_'s wait; on the loop only

  std::mutex mutex_;
  std::uint64_t generation_ = 0;  // of the wait armed last; guarded by mutex_
  std::optional<Armed> armed_;    // guarded by mutex_
  bool abandoned_ = false;        // guarded by mutex_
  bool closed_ = false;           // guarded by mutex_
};

}  // namespace host
