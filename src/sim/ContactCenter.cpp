#include "sim/ContactCenter.h"

#include "extension/PasswordScrambling.h"

namespace sim {
namespace {

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
    response.fields = {kCodeWrongPassword};
    return response;
  }
  const std::size_t caller_fields = request.fields.size() - 1;
  const std::vector<std::string> caller(request.fields.begin(), request.fields.end() - 1);
  switch (request.type) {
    case 1000: {
      std::lock_guard lock(mutex_);
      Keep(heartbeats_, Join(request.fields, caller_fields, '|'));
      response.fields = {"0"};
      return response;
    }
    case 90: {
      if (refuse_report) {
        response.fields = {kCodeReportRefused};
        return response;
      }
      std::lock_guard lock(mutex_);
      Keep(reports_, Join(request.fields, caller_fields, '\n'));
      response.fields = {"0"};
      return response;
    }
    case 20: response.fields = chats_.Start(caller); break;
    case 40: response.fields = chats_.Post(caller); break;
    case 310: response.fields = chats_.Typing(caller); break;
    case 50: response.fields = chats_.Poll(caller); break;
    case 70: response.fields = chats_.HangUp(caller); break;
    case 80: response.fields = chats_.CallMe(caller); break;
    default: response.fields = {kCodeUnknownType}; break;
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
