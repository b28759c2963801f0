// The simulator's voice side: calls that an IVR registers, queues them and
// asks about, agents who take the oldest call of the highest priority when
// they become free, transit numbers from a small pool, callbacks, contact
// data, display texts and business units per call.
//
// Agents become free on a schedule: every agentFreeEvery one agent takes the
// next queued call. The schedule advances at each request, so no timer
// thread is needed; 0 stops it, and FreeAgents makes agents free at once
// (the control port's "voice" commands).
//
// Threads: every operation takes the one lock; any thread may call any.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct VoiceOptions {
  std::chrono::milliseconds agentFreeEvery{20000};
  std::size_t maxCalls = 10000;
  std::size_t maxCallbacks = 10000;
  std::chrono::seconds callExpiry{3600};  // calls without a request this long are forgotten
};

class VoiceCenter {
 public:
  using Clock = std::chrono::steady_clock;
  explicit VoiceCenter(VoiceOptions options = {});

  // Answers a voice request of type with the caller's fields (password
  // removed): field 0 the return code. False when type is not a voice type.
  bool Handle(int type, const std::vector<std::string>& fields, std::vector<std::string>& response);

  // Control: the agents' schedule (0: none), and agents made free now (how
  // many calls they took).
  void SetAgentFreeEvery(std::chrono::milliseconds every);
  int FreeAgents(int count);
  // One line per call: id, state, queue, position, contact data and more.
  std::vector<std::string> Describe() const;

 private:
  enum class State { kRegistered, kQueued, kRouted };
  struct Call {
    std::string uniqueId, ani, dnis;
    State state = State::kRegistered;
    std::string queue, priorityText, description, agentId, agentWaitTime;
    int priority = 0;
    Clock::time_point queuedAt;
    std::string destination;  // set when routed
    std::string transitNumber;
    std::map<std::string, std::string> contactData;
    std::string display;
    std::string businessUnit;
    Clock::time_point lastRequest;
  };
  struct Agent {
    std::string id, device, extension;
    std::string callId;  // the call it talks to; empty when free
  };
  struct QueueStats {
    std::string businessUnit;
    long long routed = 0;
    long long waitedSeconds = 0;   // summed over routed calls
    long long answeredInTime = 0;  // routed within the service-level time
  };

  using Fields = std::vector<std::string>;
  Fields Initialize(const Fields& f, Clock::time_point now);
  Fields Enqueue(const Fields& f, Clock::time_point now);
  Fields QueryRoutingInfo(const Fields& f, Clock::time_point now);
  Fields SetContactData(const Fields& f);
  Fields Terminate(const Fields& f);
  Fields GetTransitNumber(const Fields& f);
  Fields ReleaseTransitNumber(const Fields& f);
  Fields QueryQueueStatistics(const Fields& f, Clock::time_point now);
  Fields CreateCallback(const Fields& f);
  Fields DeleteCallback(const Fields& f);
  Fields SetDisplay(const Fields& f);
  Fields QueryAgentStatus(const Fields& f);
  Fields Dequeue(const Fields& f);
  Fields GetContactData(const Fields& f);
  Fields QueryCallStatus(const Fields& f);
  Fields QuerySystemStatus();
  Fields SetBusinessUnit(const Fields& f);
  Fields GetBusinessUnit(const Fields& f);

  Call* FindCall(const Fields& f, Clock::time_point now);
  void Expire(Clock::time_point now);
  void Advance(Clock::time_point now);
  bool RouteNext(Clock::time_point now);
  void RemoveFromQueue(const std::string& call_id, Call& call);
  void EndCall(const std::string& call_id);
  std::size_t Position(const std::string& call_id, const Call& call) const;
  long long EstimatedWait(std::size_t position) const;

  const VoiceOptions options_;
  mutable std::mutex mutex_;
  std::chrono::milliseconds agentFreeEvery_;         // guarded by mutex_
  Clock::time_point nextFree_;                       // guarded by mutex_
  std::map<std::string, Call> calls_;                // guarded by mutex_
  std::map<std::string, std::deque<std::string>> queues_;  // call ids in order; guarded by mutex_
  std::map<std::string, QueueStats> queueStats_;     // guarded by mutex_
  std::vector<Agent> agents_;                        // guarded by mutex_
  std::map<std::string, std::string> transitInUse_;  // number -> call id; guarded by mutex_
  std::map<std::string, std::string> callbacks_;     // id -> "queue|contact|schedule"; guarded by mutex_
  std::size_t nextAgent_ = 0;                        // guarded by mutex_
  Clock::time_point lastExpiry_;                     // guarded by mutex_
  std::uint64_t nextCall_ = 0;                       // guarded by mutex_
  std::uint64_t nextCallback_ = 0;                   // guarded by mutex_
};

}  // namespace sim
