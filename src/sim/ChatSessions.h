// The simulator's chats: each session has a scripted agent who joins,
// greets, shows that it is typing and answers every visitor line after a
// short delay. Events happen when their time has come, seen at the next
// request of the session; no timer thread is needed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/Codes.h"

namespace sim {

struct ChatOptions {
  std::chrono::milliseconds replyDelay{1200};    // visitor line to agent answer
  std::chrono::milliseconds typingLead{900};     // typing shown this long before an answer
  std::chrono::seconds agentIdle{300};           // the agent leaves after this much silence
  std::chrono::seconds sessionExpiry{1800};      // sessions idle this long are forgotten
  std::size_t maxSessions = 10000;
  std::size_t maxTranscriptBytes = 256 * 1024;
};

class ChatSessions {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ChatSessions(ChatOptions options) : options_(options) {}

  // Each takes the caller's fields (password already removed) and returns the
  // response fields, field 0 the return code.
  std::vector<std::string> Start(const std::vector<std::string>& fields);
  std::vector<std::string> Post(const std::vector<std::string>& fields);
  std::vector<std::string> Typing(const std::vector<std::string>& fields);
  std::vector<std::string> Poll(const std::vector<std::string>& fields);
  std::vector<std::string> HangUp(const std::vector<std::string>& fields);
  std::vector<std::string> CallMe(const std::vector<std::string>& fields);

  std::size_t Count() const;

 private:
  struct Pending {
    Clock::time_point due;
    std::string line;       // added to the transcript when due
    bool leave = false;     // the agent leaves after this line
  };
  struct Session {
    std::string customer;
    std::string caption;
    std::string agent = "Alex";
    std::string agentKey;
    std::vector<std::string> transcript;
    std::size_t transcriptBytes = 0;
    std::vector<Pending> pending;
    std::string transferTo;  // reported once by the next poll
    bool agentLeft = false;
    Clock::time_point lastActivity;
  };

  Session* Find(const std::string& id, Clock::time_point now);
  void Advance(Session& session, Clock::time_point now);
  void Add(Session& session, std::string line);
  bool Expired(const Session& session, Clock::time_point now) const;
  void ExpireNowAndThen(Clock::time_point now);
  void Expire(Clock::time_point now);

  static constexpr std::chrono::seconds kSweepInterval{1};

  const ChatOptions options_;
  mutable std::mutex mutex_;
  std::map<std::string, Session> sessions_;  // guarded by mutex_
  std::uint64_t next_session_ = 0;           // guarded by mutex_
  Clock::time_point last_sweep_;             // guarded by mutex_
};

}  // namespace sim
