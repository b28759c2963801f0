#include "backend/WorkerThreads.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

// Owned jointly by the WorkerThreads object and every thread it started, so
// that a detached thread finishing late still finds it. By the time the
// object is gone its last Stop has joined or detached every thread it knew
// and left stopping set, so a late thread leaves without parking and nothing
// joinable is left for the destructor to meet.
struct WorkerThreads::State {
  // Where an idle thread waits; lives on that thread's stack.
  struct Slot {
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> job;  // guarded by mutex
    bool handed = false;        // a job or the stop was handed over; guarded by mutex
    bool stop = false;          // guarded by mutex
  };

  explicit State(std::chrono::seconds limit) : idle_limit(limit) {}

  static void Hand(Slot& slot, std::function<void()> job, bool stop);

  static void Work(std::shared_ptr<State> state, std::function<void()> job);
  // Parks the calling thread until a job comes (true, job set) or it should
  // end (false).
  bool Park(Slot& slot, std::function<void()>& job);
  void Leave(std::unique_lock<std::mutex>& lock);
  void JoinFinished(std::unique_lock<std::mutex>& lock);

  const std::chrono::seconds idle_limit;
  std::mutex mutex;
  std::condition_variable gone;
  std::vector<Slot*> idle;                         // guarded by mutex; most recently idle last
  bool stopping = false;                           // guarded by mutex
  std::map<std::thread::id, std::thread> running;  // guarded by mutex
  std::vector<std::thread> finished;               // guarded by mutex; left Work, to be joined
};

WorkerThreads::WorkerThreads(std::chrono::seconds idle_limit) : state_(std::make_shared<State>(idle_limit)) {}

WorkerThreads::~WorkerThreads() { Stop(std::chrono::seconds(10)); }

void WorkerThreads::State::JoinFinished(std::unique_lock<std::mutex>& lock) {
  std::vector<std::thread> done;
  done.swap(finished);
  lock.unlock();
  for (auto& thread : done) thread.join();
  lock.lock();
}

bool WorkerThreads::Run(std::function<void()> job) {
  State& state = *state_;
  std::unique_lock lock(state.mutex);
  if (!state.finished.empty()) state.JoinFinished(lock);
  state.stopping = false;
  if (!state.idle.empty()) {
    // The thread idle the shortest time: its stack is still warm.
    State::Slot* slot = state.idle.back();
    state.idle.pop_back();
    lock.unlock();
    State::Hand(*slot, std::move(job), false);
    return true;
  }
  try {
    std::thread thread(&State::Work, state_, std::move(job));
    const auto id = thread.get_id();
    state.running.emplace(id, std::move(thread));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

int WorkerThreads::Stop(std::chrono::milliseconds limit) {
  State& state = *state_;
  std::unique_lock lock(state.mutex);
  state.stopping = true;
  // Handed under the mutex: a parked thread leaves only after taking it, so
  // its slot is still there.
  for (State::Slot* slot : state.idle) State::Hand(*slot, nullptr, true);
  state.idle.clear();
  state.gone.wait_for(lock, limit, [&state] { return state.running.empty(); });
  state.JoinFinished(lock);
  const int stuck = static_cast<int>(state.running.size());
  for (auto& [id, thread] : state.running) thread.detach();
  state.running.clear();
  return stuck;
}

int WorkerThreads::IdleCount() {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->idle.size());
}

void WorkerThreads::State::Hand(Slot& slot, std::function<void()> job, bool stop) {
  {
    std::lock_guard lock(slot.mutex);
    slot.job = std::move(job);
    slot.stop = stop;
    slot.handed = true;
  }
  slot.wake.notify_one();
}

bool WorkerThreads::State::Park(Slot& slot, std::function<void()>& job) {
  std::unique_lock lock(slot.mutex);
  if (!slot.wake.wait_for(lock, idle_limit, [&slot] { return slot.handed; })) {
    lock.unlock();
    {
      std::lock_guard pool_lock(mutex);
      const auto self = std::find(idle.begin(), idle.end(), &slot);
      if (self != idle.end()) {
        idle.erase(self);
        return false;
      }
    }
    // Run or Stop took this slot just now; what it hands over is on its way.
    lock.lock();
    slot.wake.wait(lock, [&slot] { return slot.handed; });
  }
  slot.handed = false;
  job = std::move(slot.job);
  return !slot.stop;
}

void WorkerThreads::State::Leave(std::unique_lock<std::mutex>& lock) {
  // Hand the thread object over for joining; it may already have been
  // detached by a Stop that gave up waiting.
  const auto self = running.find(std::this_thread::get_id());
  if (self != running.end()) {
    finished.push_back(std::move(self->second));
    running.erase(self);
  }
  gone.notify_all();
  lock.unlock();
}

void WorkerThreads::State::Work(std::shared_ptr<State> state, std::function<void()> job) {
  Slot slot;
  while (true) {
    job();
    job = nullptr;
    {
      std::unique_lock lock(state->mutex);
      if (state->stopping) return state->Leave(lock);
      state->idle.push_back(&slot);
    }
    if (!state->Park(slot, job)) {
      std::unique_lock lock(state->mutex);
      return state->Leave(lock);
    }
  }
}
