#include "sim/ContactCenter.h"

#include "protocol/PasswordScrambling.h"

namespace sim {
namespace {

using protocol::MessageType;
using protocol::Number;

void Keep(std::deque<std::string>& list, std::string entry) {
  list.push_back(std::move(entry));
  while (list.size() > ContactCenter::kKept) list.pop_front();
}

std::string Join(const std::vector<std::string>& fields, std::size_t count, char separator) {
  std::string joined;
  for (std::size_t i = 0; i < count && i < fields.size(); ++i) {
    if (i > 0) joined.push_back(separator);
    joined += fields[i];
  }
  return joined;
}

}  // namespace

bool ContactCenter::PasswordMatches(const Request& request) const {
  return !request.fields.empty() && UnscramblePassword(request.fields.back()) == password_;
}

Response ContactCenter::Handle(const Request& request, bool refuse_report) {
  Response response{request.type + 1, request.id, {}};
  if (!PasswordMatches(request)) {
    response.fields = {protocol::Text(protocol::Code::kWrongPassword)};
    return response;
  }
  const std::size_t caller_fields = request.fields.size() - 1;
  const std::vector<std::string> caller(request.fields.begin(), request.fields.end() - 1);
  switch (request.type) {
    case Number(MessageType::kHeartbeat): {
      std::lock_guard lock(mutex_);
      Keep(heartbeats_, Join(request.fields, caller_fields, '|'));
      response.fields = {protocol::Text(protocol::Code::kSuccess)};
      return response;
    }
    case Number(MessageType::kDiagReport): {
      if (refuse_report) {
        response.fields = {protocol::Text(protocol::Code::kReportRefused)};
        return response;
      }
      std::lock_guard lock(mutex_);
      Keep(reports_, Join(request.fields, caller_fields, '\n'));
      response.fields = {protocol::Text(protocol::Code::kSuccess)};
      return response;
    }
    case Number(MessageType::kChatStart): response.fields = chats_.Start(caller); break;
    case Number(MessageType::kChatPost): response.fields = chats_.Post(caller); break;
    case Number(MessageType::kChatTyping): response.fields = chats_.Typing(caller); break;
    case Number(MessageType::kChatPoll): response.fields = chats_.Poll(caller); break;
    case Number(MessageType::kChatHangUp): response.fields = chats_.HangUp(caller); break;
    case Number(MessageType::kCallMe): response.fields = chats_.CallMe(caller); break;
    case Number(MessageType::kCallbackAvailability): response.fields = callbacks_.Availability(caller); break;
    case Number(MessageType::kWebCallback): response.fields = callbacks_.Request(caller); break;
    default:
      if (!voice_.Handle(request.type, caller, response.fields)) {
        response.fields = {protocol::Text(protocol::Code::kUnknownType)};
      }
      break;
  }
  return response;
}

std::vector<std::string> ContactCenter::Heartbeats() const {
  std::lock_guard lock(mutex_);
  return {heartbeats_.begin(), heartbeats_.end()};
}

std::vector<std::string> ContactCenter::Reports() const {
  std::lock_guard lock(mutex_);
  return {reports_.begin(), reports_.end()};
}

}  // namespace sim
