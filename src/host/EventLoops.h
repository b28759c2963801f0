// The host's event loops and the threads that run them. Each loop
// (a Boost.Asio io_context) is run by one thread at a time, so what a
// connection keeps on its loop needs no lock. The module is called on that
// thread, inline: a call that returns at once costs nothing more.
//
// A call that does not return (a pooled connection, a connect, a
// synchronous exchange) would hold up every connection of its loop. A
// watchdog wakes when the oldest call it has seen could have lasted
// stuck_after; a loop whose thread has been inside one call that long, and
// is blocked in it, is handed to another thread (a spare one, or a new one up
// to max_threads in all), which runs it from then on; a thread running or
// preempted in its call keeps the loop up to busy_stuck_after. When it has
// seen no call for quiet_before_sleep it sleeps until a call begins: an idle
// host costs no wake-ups, and a busy one a look every stuck_after.
// The stuck thread, once its call returns, leaves the loop alone: its caller
// must post what remains to the loop (EndCall says so), and the thread waits
// as a spare until another loop needs it or it has idled for spare_idle.
//
// Threads: Start, Stop and the destructor from one owning thread; BeginCall
// and EndCall on a loop's thread, around each module call; Context and size
// from any thread.
#pragma once

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace host {

// A connection's socket and timer, bound to their loop's own executor type
// rather than a type-erased one, which every operation would copy.
using LoopSocket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, boost::asio::io_context::executor_type>;
using LoopTimer = boost::asio::basic_waitable_timer<std::chrono::steady_clock,
                                                    boost::asio::wait_traits<std::chrono::steady_clock>,
                                                    boost::asio::io_context::executor_type>;

class EventLoops {
 public:
  struct Limits {
    unsigned loops = 1;
    unsigned max_threads = 512;  // every thread that runs a loop or is stuck in a call
    std::chrono::microseconds stuck_after{2000};
    // A call whose thread is running or waiting for a processor, rather than
    // blocked, keeps its loop this long: it is slow or preempted, and
    // another thread would gain nothing on a machine that has no processor
    // free (see ThreadActivity.h).
    std::chrono::microseconds busy_stuck_after{20000};
    std::chrono::milliseconds quiet_before_sleep{50};
    std::chrono::seconds spare_idle{10};
  };

  // What BeginCall hands to EndCall.
  struct Call {
    void* loop = nullptr;
    std::int64_t started_ns = 0;
    void* outer_loop = nullptr;  // of a call this one is made inside, if any
    std::size_t after_from = 0;  // where this call's AfterCall work begins
  };

  // Work a module call leaves for the loop it was made on. Running it when
  // the call returns, rather than posting it, spares the loop a queued
  // handler (and its allocation) for what the module asks of nearly every
  // request: to wait on a socket, to be told it is done.
  using AfterCallWork = void (*)(void* first, void* second);

  explicit EventLoops(Limits limits);
  // Stops. Must not run while a thread is still inside a call (Stop's result).
  ~EventLoops();
  EventLoops(const EventLoops&) = delete;
  EventLoops& operator=(const EventLoops&) = delete;

  std::size_t size() const { return loops_.size(); }
  boost::asio::io_context& Context(std::size_t index) { return loops_[index]->context; }

  // A thread for each loop, and the watchdog.
  void Start();
  // Stops every loop (handlers not run yet are dropped), ends the spare
  // threads and waits up to wait for the loops' threads to leave. Returns how
  // many threads are left (inside module calls): they will leave on their own,
  // touching this object, which must then be kept.
  unsigned Stop(std::chrono::milliseconds wait);
  // After Stop: waits up to wait for the threads that were inside module
  // calls to leave, and joins them. True when none is left, so that this
  // object may go.
  bool JoinLeftThreads(std::chrono::milliseconds wait);

  // On the thread of a handler of one of the loops, just before a module call.
  static Call BeginCall();
  // Just after it. False when the loop was handed to another thread meanwhile:
  // the caller must not touch anything of the loop's any more and must post
  // what remains to it.
  // Runs the call's AfterCall work, or posts it to the loop when the loop
  // was handed on.
  [[nodiscard]] static bool EndCall(const Call& call);

  // On any thread: whether this thread is inside a module call made on
  // context's loop. When it is not, the caller posts its work itself.
  static bool InCallOn(const boost::asio::execution_context& context);
  // Only where InCallOn holds: keeps work(first, second) (both held until
  // then) to run on the loop as the call returns.
  static void AfterCall(AfterCallWork work, std::shared_ptr<void> first, std::shared_ptr<void> second = nullptr);

  // Threads now: running loops, waiting as spares, stuck in calls. Any thread.
  unsigned threads() const;

 private:
  struct Loop {
    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
    // Since when (steady clock, ns) its thread is inside a module call; 0:
    // none; kTaken: the watchdog handed the loop on.
    std::atomic<std::int64_t> call_since{0};
    std::atomic<pid_t> runner{0};  // the thread that runs it now
    EventLoops* owner = nullptr;
  };
  static constexpr std::int64_t kTaken = -1;

  void Run(Loop* loop);
  Loop* NextLoop();  // as a spare: the loop to take on, or null to end
  void Watch();
  // From BeginCall, when the watchdog sleeps until a call begins.
  void WakeWatchdog();
  void HandOverLocked(Loop& loop);  // call with mutex_ held
  void StartThreadLocked(Loop* loop);  // call with mutex_ held; throws std::system_error
  // Joins the threads whose Run has returned. lock (on mutex_) is let go
  // meanwhile.
  void JoinEnded(std::unique_lock<std::mutex>& lock);
  void StuckCallReturned();

  const Limits limits_;
  std::vector<std::unique_ptr<Loop>> loops_;
  std::thread watchdog_;

  mutable std::mutex mutex_;
  std::condition_variable spare_wake_;       // a loop to take on, or stopping
  std::condition_variable watchdog_wake_;    // stopping, or a call began while it slept
  // The watchdog sleeps until a call begins: set under mutex_, read by
  // BeginCall without it. Its stores and the calls' start times are
  // sequentially consistent, so that a call that begins as the watchdog
  // falls asleep is seen by one side or the other.
  std::atomic<bool> watchdog_asleep_{false};
  std::condition_variable threads_changed_;  // a thread ended or a stuck call returned
  std::deque<Loop*> handed_over_;            // loops waiting for a spare; guarded by mutex_
  // Each thread is joined once its Run returns: a thread left to end on its
  // own could still be ending as the process exits, its thread-local state
  // (also the module's libraries') neither freed nor reachable.
  std::vector<std::thread> runners_;         // guarded by mutex_
  std::vector<std::thread::id> ended_;       // of runners_, Run returned; guarded by mutex_
  unsigned threads_ = 0;                     // guarded by mutex_
  unsigned spares_ = 0;                      // waiting in NextLoop; guarded by mutex_
  unsigned stuck_ = 0;                       // inside a call whose loop was handed on; guarded by mutex_
  bool stopping_ = false;                    // guarded by mutex_
};

}  // namespace host
