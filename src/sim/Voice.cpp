#include "sim/Voice.h"

#include <algorithm>

#include "platform/Text.h"
#include "protocol/Codes.h"

namespace sim {
namespace {

using protocol::Code;
using protocol::MessageType;
using protocol::Number;
using Fields = std::vector<std::string>;

// A call routed within this many seconds counts as answered in time.
constexpr long long kServiceLevelSeconds = 20;
// What a wait estimate assumes per caller ahead when agents keep no schedule.
constexpr long long kUnscheduledSecondsPerCall = 60;

const std::string& At(const Fields& fields, std::size_t index) {
  static const std::string kEmpty;
  return index < fields.size() ? fields[index] : kEmpty;
}

Fields Answer(Code code) { return {protocol::Text(code)}; }

template <typename... Values>
Fields Ok(Values... values) {
  return {protocol::Text(Code::kSuccess), std::string(values)...};
}

long long SecondsBetween(VoiceCenter::Clock::time_point from, VoiceCenter::Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::seconds>(to - from).count();
}

const std::vector<std::string> kTransitNumbers = {"7001", "7002", "7003", "7004", "7005"};

}  // namespace

VoiceCenter::VoiceCenter(VoiceOptions options)
    : options_(options), agentFreeEvery_(options.agentFreeEvery), nextFree_(Clock::now() + options.agentFreeEvery),
      lastExpiry_(Clock::now()) {
  queueStats_["Sales"].businessUnit = "Retail";
  queueStats_["Support"].businessUnit = "Retail";
  queueStats_["Billing"].businessUnit = "Finance";
  for (const auto& [name, stats] : queueStats_) queues_[name];
  agents_ = {{"A100", "D100", "2100", {}}, {"A101", "D101", "2101", {}}, {"A102", "D102", "2102", {}},
             {"A103", "D103", "2103", {}}};
}

bool VoiceCenter::Handle(int type, const Fields& f, Fields& response) {
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  Expire(now);
  Advance(now);
  switch (static_cast<MessageType>(type)) {
    case MessageType::kVoiceInitialize: response = Initialize(f, now); break;
    case MessageType::kVoiceEnqueue: response = Enqueue(f, now); break;
    case MessageType::kVoiceQueryRoutingInfo: response = QueryRoutingInfo(f, now); break;
    case MessageType::kVoiceSetContactData: response = SetContactData(f); break;
    case MessageType::kVoiceTerminate: response = Terminate(f); break;
    case MessageType::kVoiceGetTransitNumber: response = GetTransitNumber(f); break;
    case MessageType::kVoiceReleaseTransitNumber: response = ReleaseTransitNumber(f); break;
    case MessageType::kVoiceQueryQueueStatistics: response = QueryQueueStatistics(f, now); break;
    case MessageType::kVoiceCreateCallback: response = CreateCallback(f); break;
    case MessageType::kVoiceDeleteCallback: response = DeleteCallback(f); break;
    case MessageType::kVoiceSetDisplay: response = SetDisplay(f); break;
    case MessageType::kVoiceQueryAgentStatus: response = QueryAgentStatus(f); break;
    case MessageType::kVoiceDequeue: response = Dequeue(f); break;
    case MessageType::kVoiceGetContactData: response = GetContactData(f); break;
    case MessageType::kVoiceQueryCallStatus: response = QueryCallStatus(f); break;
    case MessageType::kVoiceQuerySystemStatus: response = QuerySystemStatus(); break;
    case MessageType::kVoiceSetBusinessUnit: response = SetBusinessUnit(f); break;
    case MessageType::kVoiceGetBusinessUnit: response = GetBusinessUnit(f); break;
    default: return false;
  }
  return true;
}

void VoiceCenter::SetAgentFreeEvery(std::chrono::milliseconds every) {
  std::lock_guard lock(mutex_);
  agentFreeEvery_ = every;
  nextFree_ = Clock::now() + every;
}

int VoiceCenter::FreeAgents(int count) {
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  int routed = 0;
  while (routed < count && RouteNext(now)) ++routed;
  return routed;
}

std::vector<std::string> VoiceCenter::Describe() const {
  static constexpr const char* kStates[] = {"registered", "queued", "routed"};
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  for (const auto& [id, call] : calls_) {
    std::string line = "call=" + id + " state=" + kStates[static_cast<int>(call.state)] + " ani=" + call.ani +
                       " dnis=" + call.dnis + " queue=" + call.queue +
                       " position=" + std::to_string(Position(id, call)) + " destination=" + call.destination +
                       " transit=" + call.transitNumber + " display=" + call.display + " bu=" + call.businessUnit +
                       " data=";
    for (const auto& [key, value] : call.contactData) line += key + "=" + value + ";";
    lines.push_back(std::move(line));
  }
  for (const auto& [id, callback] : callbacks_) lines.push_back("callback=" + id + " " + callback);
  return lines;
}

VoiceCenter::Call* VoiceCenter::FindCall(const Fields& f, Clock::time_point now) {
  const auto found = calls_.find(At(f, 0));
  if (found == calls_.end()) return nullptr;
  found->second.lastRequest = now;
  return &found->second;
}

void VoiceCenter::Expire(Clock::time_point now) {
  // Scanning every call at every request would cost more than the requests.
  if (now - lastExpiry_ < std::chrono::seconds(1)) return;
  lastExpiry_ = now;
  std::vector<std::string> stale;
  for (const auto& [id, call] : calls_) {
    if (now - call.lastRequest > options_.callExpiry) stale.push_back(id);
  }
  for (const auto& id : stale) EndCall(id);
}

void VoiceCenter::Advance(Clock::time_point now) {
  if (agentFreeEvery_.count() <= 0 || now < nextFree_) return;
  // Agents who became free while nobody waited took no call; only as many
  // calls as there were moments of a free agent are routed.
  const auto ticks = (now - nextFree_) / agentFreeEvery_ + 1;
  for (long long i = 0; i < ticks && RouteNext(now); ++i) {
  }
  nextFree_ += ticks * agentFreeEvery_;
}

bool VoiceCenter::RouteNext(Clock::time_point now) {
  // The longest-waiting call of the highest priority at the head of any queue.
  std::string best;
  for (const auto& [name, waiting] : queues_) {
    if (waiting.empty()) continue;
    const Call& head = calls_.at(waiting.front());
    if (best.empty()) {
      best = waiting.front();
      continue;
    }
    const Call& current = calls_.at(best);
    if (head.priority > current.priority || (head.priority == current.priority && head.queuedAt < current.queuedAt)) {
      best = waiting.front();
    }
  }
  if (best.empty()) return false;
  Call& call = calls_.at(best);
  RemoveFromQueue(best, call);
  // The agent who has been talking longest finishes first.
  Agent& agent = agents_[nextAgent_++ % agents_.size()];
  agent.callId = best;
  call.state = State::kRouted;
  call.destination = agent.extension;
  call.agentId = agent.id;
  QueueStats& stats = queueStats_[call.queue];
  const long long waited = SecondsBetween(call.queuedAt, now);
  ++stats.routed;
  stats.waitedSeconds += waited;
  if (waited <= kServiceLevelSeconds) ++stats.answeredInTime;
  return true;
}

void VoiceCenter::RemoveFromQueue(const std::string& call_id, Call& call) {
  if (call.state != State::kQueued) return;
  auto& waiting = queues_[call.queue];
  waiting.erase(std::remove(waiting.begin(), waiting.end(), call_id), waiting.end());
  call.state = State::kRegistered;
}

void VoiceCenter::EndCall(const std::string& call_id) {
  const auto found = calls_.find(call_id);
  if (found == calls_.end()) return;
  RemoveFromQueue(call_id, found->second);
  if (!found->second.transitNumber.empty()) transitInUse_.erase(found->second.transitNumber);
  for (auto& agent : agents_) {
    if (agent.callId == call_id) agent.callId.clear();
  }
  calls_.erase(found);
}

std::size_t VoiceCenter::Position(const std::string& call_id, const Call& call) const {
  if (call.state != State::kQueued) return 0;
  const auto& waiting = queues_.at(call.queue);
  return static_cast<std::size_t>(std::find(waiting.begin(), waiting.end(), call_id) - waiting.begin()) + 1;
}

long long VoiceCenter::EstimatedWait(std::size_t position) const {
  const long long every_ms = agentFreeEvery_.count();
  const long long per_call = every_ms > 0 ? (every_ms + 999) / 1000 : kUnscheduledSecondsPerCall;
  return static_cast<long long>(position) * per_call;
}

Fields VoiceCenter::Initialize(const Fields& f, Clock::time_point now) {
  if (calls_.size() >= options_.maxCalls) return Answer(Code::kContactCenterFull);
  const std::string id = std::to_string(1000 + ++nextCall_);
  Call& call = calls_[id];
  call.uniqueId = At(f, 0);
  call.ani = At(f, 1);
  call.dnis = At(f, 2);
  call.businessUnit = "Default";
  call.lastRequest = now;
  return Ok(id);
}

Fields VoiceCenter::Enqueue(const Fields& f, Clock::time_point now) {
  Call* call = FindCall(f, now);
  if (call == nullptr) return Answer(Code::kUnknownCall);
  const auto queue = queues_.find(At(f, 2));
  if (queue == queues_.end()) return Answer(Code::kUnknownQueue);
  // A call queued again moves to the end of its new queue, as when an agent
  // did not take it.
  RemoveFromQueue(At(f, 0), *call);
  for (auto& agent : agents_) {
    if (agent.callId == At(f, 0)) agent.callId.clear();
  }
  call->queue = queue->first;
  call->priorityText = At(f, 3);
  call->priority = text::ParseLeadingInt(call->priorityText);
  call->description = At(f, 4);
  call->agentId = At(f, 5);
  call->agentWaitTime = At(f, 6);
  call->destination.clear();
  call->queuedAt = now;
  call->state = State::kQueued;
  auto& waiting = queue->second;
  // Behind every call of at least its priority.
  auto at = std::find_if(waiting.begin(), waiting.end(),
                         [&](const std::string& id) { return calls_.at(id).priority < call->priority; });
  waiting.insert(at, At(f, 0));
  return Ok(std::to_string(EstimatedWait(Position(At(f, 0), *call))), std::to_string(waiting.size()));
}

Fields VoiceCenter::QueryRoutingInfo(const Fields& f, Clock::time_point now) {
  Call* call = FindCall(f, now);
  if (call == nullptr) return Answer(Code::kUnknownCall);
  if (call->state == State::kRegistered) return Answer(Code::kCallNotQueued);
  const std::size_t position = Position(At(f, 0), *call);
  return Ok(call->destination, call->agentId, call->agentWaitTime, call->description, call->priorityText,
            std::to_string(EstimatedWait(position)), std::to_string(queues_.at(call->queue).size()));
}

Fields VoiceCenter::SetContactData(const Fields& f) {
  Call* call = FindCall(f, Clock::now());
  if (call == nullptr) return Answer(Code::kUnknownCall);
  call->contactData[At(f, 1)] = At(f, 2);
  return Ok();
}

Fields VoiceCenter::GetContactData(const Fields& f) {
  Call* call = FindCall(f, Clock::now());
  if (call == nullptr) return Answer(Code::kUnknownCall);
  const auto found = call->contactData.find(At(f, 1));
  if (found == call->contactData.end()) return Answer(Code::kUnknownKey);
  return Ok(found->second);
}

Fields VoiceCenter::Terminate(const Fields& f) {
  if (FindCall(f, Clock::now()) == nullptr) return Answer(Code::kUnknownCall);
  EndCall(At(f, 0));
  return Ok();
}

Fields VoiceCenter::GetTransitNumber(const Fields& f) {
  Call* call = FindCall(f, Clock::now());
  if (call == nullptr) return Answer(Code::kUnknownCall);
  if (!call->transitNumber.empty()) return Ok(call->transitNumber);
  for (const auto& number : kTransitNumbers) {
    if (transitInUse_.emplace(number, At(f, 0)).second) {
      call->transitNumber = number;
      return Ok(number);
    }
  }
  return Answer(Code::kNoTransitNumber);
}

Fields VoiceCenter::ReleaseTransitNumber(const Fields& f) {
  Call* call = FindCall(f, Clock::now());
  if (call == nullptr) return Answer(Code::kUnknownCall);
  if (!call->transitNumber.empty()) transitInUse_.erase(call->transitNumber);
  call->transitNumber.clear();
  return Ok();
}

Fields VoiceCenter::QueryQueueStatistics(const Fields& f, Clock::time_point now) {
  const auto stats = queueStats_.find(At(f, 0));
  if (stats == queueStats_.end()) return Answer(Code::kUnknownQueue);
  if (!At(f, 1).empty() && At(f, 1) != stats->second.businessUnit) return Answer(Code::kUnknownQueue);
  const auto& waiting = queues_.at(stats->first);
  long long oldest = 0;
  for (const auto& id : waiting) oldest = std::max(oldest, SecondsBetween(calls_.at(id).queuedAt, now));
  const QueueStats& s = stats->second;
  const long long average = s.routed > 0 ? s.waitedSeconds / s.routed : 0;
  const long long level = s.routed > 0 ? 100 * s.answeredInTime / s.routed : 100;
  return Ok(std::to_string(waiting.size()), std::to_string(EstimatedWait(waiting.size() + 1)),
            std::to_string(average), std::to_string(oldest), std::to_string(level));
}

Fields VoiceCenter::CreateCallback(const Fields& f) {
  Call* call = FindCall(f, Clock::now());
  if (call == nullptr) return Answer(Code::kUnknownCall);
  if (queues_.find(At(f, 1)) == queues_.end()) return Answer(Code::kUnknownQueue);
  if (callbacks_.size() >= options_.maxCallbacks) return Answer(Code::kContactCenterFull);
  const std::string id = "CB" + std::to_string(++nextCallback_);
  callbacks_[id] = "queue=" + At(f, 1) + " number=" + call->ani + " contact=" + At(f, 4) + " description=" +
                   At(f, 2) + " offset=" + At(f, 3) + " schedule=" + At(f, 5) + "," + At(f, 6) + "," + At(f, 7);
  return Ok(id);
}

Fields VoiceCenter::DeleteCallback(const Fields& f) {
  return callbacks_.erase(At(f, 0)) > 0 ? Ok() : Answer(Code::kUnknownCallback);
}

Fields VoiceCenter::SetDisplay(const Fields& f) {
  Call* call = FindCall(f, Clock::now());
  if (call == nullptr) return Answer(Code::kUnknownCall);
  call->display = At(f, 1);
  return Ok();
}

Fields VoiceCenter::QueryAgentStatus(const Fields& f) {
  for (const auto& agent : agents_) {
    const bool named = At(f, 0).empty() ? agent.device == At(f, 1) : agent.id == At(f, 0);
    if (!named) continue;
    return Ok(agent.id, agent.device, agent.callId.empty() ? "Available" : "Talking");
  }
  return Answer(Code::kUnknownAgent);
}

Fields VoiceCenter::Dequeue(const Fields& f) {
  Call* call = FindCall(f, Clock::now());
  if (call == nullptr) return Answer(Code::kUnknownCall);
  if (call->state != State::kQueued) return Answer(Code::kCallNotQueued);
  RemoveFromQueue(At(f, 0), *call);
  return Ok();
}

Fields VoiceCenter::QueryCallStatus(const Fields& f) {
  Call* call = FindCall(f, Clock::now());
  if (call == nullptr) return Answer(Code::kUnknownCall);
  if (call->state == State::kRegistered) return Answer(Code::kCallNotQueued);
  return Ok(std::to_string(Position(At(f, 0), *call)));
}

Fields VoiceCenter::QuerySystemStatus() {
  return Ok(std::string("OK"), std::string("Running"), std::to_string(calls_.size()));
}

Fields VoiceCenter::SetBusinessUnit(const Fields& f) {
  Call* call = FindCall(f, Clock::now());
  if (call == nullptr) return Answer(Code::kUnknownCall);
  call->businessUnit = At(f, 1);
  return Ok();
}

Fields VoiceCenter::GetBusinessUnit(const Fields& f) {
  Call* call = FindCall(f, Clock::now());
  if (call == nullptr) return Answer(Code::kUnknownCall);
  return Ok(call->businessUnit);
}

}  // namespace sim
