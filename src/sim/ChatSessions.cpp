#include "sim/ChatSessions.h"

#include <algorithm>
#include <random>

#include "platform/Text.h"

namespace sim {
namespace {

std::string Ok() { return protocol::Text(protocol::Code::kSuccess); }

const std::string& Field(const std::vector<std::string>& fields, std::size_t index) {
  static const std::string empty;
  return index < fields.size() ? fields[index] : empty;
}

bool Contains(const std::string& text, const char* word) {
  return text::FindIgnoringCase(text, word) != std::string_view::npos;
}

}  // namespace

bool ChatSessions::Expired(const Session& session, Clock::time_point now) const {
  return now - session.lastActivity > options_.sessionExpiry;
}

ChatSessions::Session* ChatSessions::Find(const std::string& id, Clock::time_point now) {
  ExpireNowAndThen(now);
  const auto found = sessions_.find(id);
  if (found == sessions_.end()) return nullptr;
  if (Expired(found->second, now)) {
    sessions_.erase(found);
    return nullptr;
  }
  return &found->second;
}

// A sweep looks at every session: done at every request, it made each poll
// cost in proportion to the sessions open. The session a request names is
// judged exactly by Find; the others need only not pile up.
void ChatSessions::ExpireNowAndThen(Clock::time_point now) {
  if (now - last_sweep_ >= kSweepInterval) Expire(now);
}

void ChatSessions::Expire(Clock::time_point now) {
  last_sweep_ = now;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = Expired(it->second, now) ? sessions_.erase(it) : std::next(it);
  }
}

void ChatSessions::Add(Session& session, std::string line) {
  session.transcriptBytes += line.size();
  session.transcript.push_back(std::move(line));
}

void ChatSessions::Advance(Session& session, Clock::time_point now) {
  std::sort(session.pending.begin(), session.pending.end(),
            [](const Pending& a, const Pending& b) { return a.due < b.due; });
  while (!session.pending.empty() && session.pending.front().due <= now) {
    Pending event = std::move(session.pending.front());
    session.pending.erase(session.pending.begin());
    if (!event.line.empty()) Add(session, std::move(event.line));
    if (event.leave) session.agentLeft = true;
  }
  if (!session.agentLeft && now - session.lastActivity > options_.agentIdle) session.agentLeft = true;
}

std::vector<std::string> ChatSessions::Start(const std::vector<std::string>& fields) {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  ExpireNowAndThen(now);
  if (sessions_.size() >= options_.maxSessions) Expire(now);  // the expired go before the oldest
  if (sessions_.size() >= options_.maxSessions) {
    // Make room by forgetting the session that was idle longest.
    auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
      return a.second.lastActivity < b.second.lastActivity;
    });
    sessions_.erase(oldest);
  }
  static thread_local std::mt19937_64 random{std::random_device{}()};
  char id[40];
  std::snprintf(id, sizeof id, "S%06llu-%08llX", static_cast<unsigned long long>(++next_session_),
                static_cast<unsigned long long>(random() & 0xFFFFFFFFu));
  Session& session = sessions_[id];
  session.customer = Field(fields, 1);
  session.caption = Field(fields, 2);
  session.agentKey = "A" + std::to_string(next_session_);
  session.lastActivity = now;
  const std::string name = session.customer.empty() ? "there" : session.customer;
  session.pending.push_back({now + options_.replyDelay / 3, "System: " + session.agent + " has joined the chat."});
  session.pending.push_back({now + options_.replyDelay, session.agent + ": Hello " + name + ", how can I help you?"});
  return {Ok(), id};
}

std::vector<std::string> ChatSessions::Post(const std::vector<std::string>& fields) {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  Session* session = Find(Field(fields, 0), now);
  if (session == nullptr) return {protocol::Text(protocol::Code::kUnknownSession)};
  const std::string& text = Field(fields, 1);
  if (session->transcriptBytes + text.size() > options_.maxTranscriptBytes) return {protocol::Text(protocol::Code::kTranscriptFull)};
  session->lastActivity = now;
  Advance(*session, now);
  Add(*session, (session->customer.empty() ? std::string("Visitor") : session->customer) + ": " + text);
  if (session->agentLeft) return {Ok()};
  if (Contains(text, "bye agent")) {
    session->pending.push_back({now + options_.replyDelay, session->agent + ": Goodbye, and thank you!", true});
  } else if (Contains(text, "transfer")) {
    session->transferTo = "Sam (Billing)";
    session->agent = "Sam";
    session->pending.push_back({now + options_.replyDelay, "Sam: Hi, Sam from Billing here."});
  } else {
    session->pending.push_back({now + options_.replyDelay, session->agent + ": Thank you, I am looking into \"" +
                                                               text.substr(0, 200) + "\"."});
  }
  return {Ok()};
}

std::vector<std::string> ChatSessions::Typing(const std::vector<std::string>& fields) {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  Session* session = Find(Field(fields, 0), now);
  if (session == nullptr) return {protocol::Text(protocol::Code::kUnknownSession)};
  session->lastActivity = now;
  return {Ok()};
}

std::vector<std::string> ChatSessions::Poll(const std::vector<std::string>& fields) {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  Session* session = Find(Field(fields, 0), now);
  if (session == nullptr) return {protocol::Text(protocol::Code::kUnknownSession)};
  Advance(*session, now);
  if (!session->transferTo.empty()) {
    std::string target;
    target.swap(session->transferTo);
    return {protocol::Text(protocol::Code::kTransferred), target};
  }
  std::size_t index = 0;
  for (const char c : Field(fields, 1)) {
    if (c < '0' || c > '9' || index > session->transcript.size()) break;
    index = index * 10 + static_cast<std::size_t>(c - '0');
  }
  index = std::min(index, session->transcript.size());
  if (session->agentLeft && index == session->transcript.size()) return {protocol::Text(protocol::Code::kAgentDisconnected)};
  std::string text;
  for (std::size_t i = index; i < session->transcript.size(); ++i) {
    if (!text.empty()) text += "<BR>";
    text += session->transcript[i];
  }
  const bool typing = !session->agentLeft && std::any_of(session->pending.begin(), session->pending.end(),
                                                         [&](const Pending& event) {
                                                           return event.due - now <= options_.typingLead;
                                                         });
  const bool joined = session->transcript.size() > 0;
  return {Ok(), text, "", joined ? session->agentKey : "", std::to_string(session->transcript.size()),
          typing ? session->agent : ""};
}

std::vector<std::string> ChatSessions::HangUp(const std::vector<std::string>& fields) {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  Session* session = Find(Field(fields, 0), now);
  if (session == nullptr) return {protocol::Text(protocol::Code::kUnknownSession)};
  Advance(*session, now);
  std::string summary;
  for (const auto& line : session->transcript) {
    if (!summary.empty()) summary += "<BR>";
    summary += line;
  }
  std::vector<std::string> answer = {Ok(), Field(fields, 0), session->customer, session->caption, summary};
  sessions_.erase(Field(fields, 0));
  return answer;
}

std::vector<std::string> ChatSessions::CallMe(const std::vector<std::string>& fields) {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  Session* session = Find(Field(fields, 0), now);
  if (session == nullptr) return {protocol::Text(protocol::Code::kUnknownSession)};
  session->lastActivity = now;
  std::string number;
  for (const char c : Field(fields, 2)) {
    if ((c >= '0' && c <= '9') || (c == '+' && number.empty())) number.push_back(c);
  }
  if (number.empty()) return {protocol::Text(protocol::Code::kNoPhoneNumber)};
  Add(*session, "System: " + session->agent + " will call you at " + number + ".");
  return {Ok(), session->customer, number};
}

std::size_t ChatSessions::Count() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

}  // namespace sim
