// The in-memory back end: what it answers to each request type. Operations
// of chat, callback and voice browser add their handlers here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <istream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Codes.h"
#include "sim/Callbacks.h"
#include "sim/ChatSessions.h"
#include "sim/Voice.h"

namespace sim {

// A request as the back end reads it; the password field is the last one.
struct Request {
  std::uint32_t id = 0;
  int type = 0;
  std::vector<std::string> fields;
};

struct Response {
  int type = 0;
  std::uint32_t id = 0;
  std::vector<std::string> fields;  // field 0 is the return code
};

class ContactCenter {
 public:
  explicit ContactCenter(std::string password, ChatOptions chat = {})
      : password_(std::move(password)), chats_(chat) {}

  // Answers one request; refuse_report makes a diagnostics report fail.
  Response Handle(const Request& request, bool refuse_report);

  // What arrived, oldest first (the most recent kKept of each).
  std::vector<std::string> Heartbeats() const;
  std::vector<std::string> Reports() const;

  static constexpr std::size_t kKept = 1000;

  // The callback service's control commands (Callbacks::Control).
  std::optional<std::string> CallbackControl(const std::string& verb, std::istream& words) {
    return callbacks_.Control(verb, words);
  }
  VoiceCenter& Voice() { return voice_; }

 private:
  bool PasswordMatches(const Request& request) const;

  const std::string password_;
  ChatSessions chats_;
  Callbacks callbacks_;
  VoiceCenter voice_;
  mutable std::mutex mutex_;
  std::deque<std::string> heartbeats_;  // "host|application|port"; guarded by mutex_
  std::deque<std::string> reports_;     // fields joined by '\n'; guarded by mutex_
};

}  // namespace sim
