#include "sim/Callbacks.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "protocol/Codes.h"

namespace sim {
namespace {

using protocol::Code;

constexpr int kMinutesPerDay = 24 * 60;
constexpr std::size_t kCallbackFields = 9;
constexpr std::size_t kPhoneField = 2;
constexpr std::size_t kCallTypeField = 5;

// "HH:MM-HH:MM" as minutes of day; 24:00 is allowed as an end.
bool ParseHours(const std::string& text, int& opens, int& closes) {
  int h1 = 0, m1 = 0, h2 = 0, m2 = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%d:%d-%d:%d%c", &h1, &m1, &h2, &m2, &tail) != 4) return false;
  const auto valid = [](int h, int m) { return h >= 0 && m >= 0 && m < 60 && h * 60 + m <= kMinutesPerDay; };
  if (!valid(h1, m1) || !valid(h2, m2)) return false;
  opens = h1 * 60 + m1;
  closes = h2 * 60 + m2;
  return true;
}

// '|', '%' and every byte outside printable ASCII as %XX, so that a listed
// field is one unambiguous piece of one line.
std::string Listed(const std::string& field) {
  std::string out;
  for (const unsigned char c : field) {
    if (c < 0x20 || c >= 0x7F || c == '|' || c == '%') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace

int Callbacks::LocalMinuteOfDay() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_hour * 60 + local.tm_min;
}

Callbacks::Callbacks(MinuteOfDay now) : now_(std::move(now)) {
  units_ = {
      {"Sales", 0, kMinutesPerDay, true,
       {{"S-ORDER", "New order", "Place or change an order"},
        {"S-QUOTE", "Quote", "Prices for larger amounts"},
        {"S-RETURN", "Returns & refunds", "Send goods back"}}},
      {"Service", 8 * 60, 18 * 60, true,
       {{"V-FAULT", "Report a fault", "Something does not work"}, {"V-BILL", "Billing", "Questions about an invoice"}}},
      // Names a page must escape: a quote that ends an attribute, markup.
      {"Lab", 0, kMinutesPerDay, true,
       {{"L-1", "Tom's line", "quote"},
        {"L-2", "<b>Bold</b> & \"quoted\"", "markup"},
        {"L-'3'", "Id with quotes", "quoted id"}}},
  };
  // Premium-rate and emergency numbers are never called back.
  blocked_ = {"0900", "+49900", "110", "112"};
}

Callbacks::Unit* Callbacks::FindUnit(const std::string& name) {
  const auto found = std::find_if(units_.begin(), units_.end(), [&](const Unit& unit) { return unit.name == name; });
  return found == units_.end() ? nullptr : &*found;
}

Callbacks::Unit* Callbacks::UnitOfCallType(const std::string& id) {
  for (auto& unit : units_) {
    for (const auto& type : unit.types) {
      if (type.id == id) return &unit;
    }
  }
  return nullptr;
}

bool Callbacks::Open(const Unit& unit) const {
  const int minute = now_();
  if (unit.opens == unit.closes) return false;
  if (unit.opens < unit.closes) return minute >= unit.opens && minute < unit.closes;
  return minute >= unit.opens || minute < unit.closes;  // open over midnight
}

std::string Callbacks::RefusalReason(const std::string& number, const std::string& digits) const {
  const bool dialable = std::all_of(number.begin(), number.end(), [](unsigned char c) {
    return std::isdigit(c) || c == ' ' || c == '+' || c == '-' || c == '(' || c == ')';
  });
  if (!dialable || std::count_if(digits.begin(), digits.end(), ::isdigit) < 3) {
    return "This is not a telephone number we can dial.";
  }
  for (const auto& prefix : blocked_) {
    if (digits.starts_with(prefix)) return "We do not call premium-rate or emergency numbers.";
  }
  return {};
}

std::vector<std::string> Callbacks::Availability(const std::vector<std::string>& fields) {
  const std::string unit_name = fields.size() > 1 ? fields[1] : std::string();
  std::lock_guard lock(mutex_);
  const Unit* unit = FindUnit(unit_name);
  if (unit == nullptr) return {protocol::Text(Code::kUnknownBusinessUnit)};
  if (!unit->on) return {protocol::Text(Code::kCallbackSwitchedOff)};
  if (!Open(*unit)) return {protocol::Text(Code::kCallbackNotAvailable)};
  std::string message(1, '\x10');
  for (const auto& type : unit->types) message += type.id + '\x0F' + type.name + '\x0F' + type.description + '\x10';
  return {protocol::Text(Code::kSuccess), std::move(message)};
}

std::vector<std::string> Callbacks::Request(const std::vector<std::string>& fields) {
  if (fields.size() < kCallbackFields) return {protocol::Text(protocol::Code::kMalformedRequest)};
  std::lock_guard lock(mutex_);
  const Unit* unit = UnitOfCallType(fields[kCallTypeField]);
  if (unit == nullptr) return {protocol::Text(Code::kUnknownCallType)};
  if (!unit->on) return {protocol::Text(Code::kCallbackSwitchedOff)};
  if (!Open(*unit)) return {protocol::Text(Code::kCallbackNotAvailable)};
  const std::string& number = fields[kPhoneField];
  std::string digits;
  for (const char c : number) {
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '+') digits.push_back(c);
  }
  if (const auto reason = RefusalReason(number, digits); !reason.empty()) {
    return {protocol::Text(Code::kCallbackRejected), reason};
  }
  for (const auto& stored : stored_) {
    if (stored.number == digits) return {protocol::Text(Code::kCallbackAlreadyPending), stored.id};
  }
  if (stored_.size() >= kMaxStored) stored_.erase(stored_.begin());
  Stored stored{"CB" + std::to_string(++next_id_), unit->name,
                {fields.begin(), fields.begin() + kCallbackFields}, digits};
  stored_.push_back(stored);
  return {protocol::Text(Code::kSuccess), stored.id};
}

std::optional<std::string> Callbacks::Control(const std::string& verb, std::istream& words) {
  std::string unit_name, value;
  std::lock_guard lock(mutex_);
  if (verb == "callbacks") {
    // id|unit|the nine fields as received
    std::string answer;
    for (const auto& stored : stored_) {
      answer += stored.id + "|" + Listed(stored.unit);
      for (const auto& field : stored.fields) answer += "|" + Listed(field);
      answer += "\n";
    }
    return answer;
  }
  if (verb == "callback-service" || verb == "callback-hours") {
    words >> unit_name >> value;
    Unit* unit = FindUnit(unit_name);
    if (unit == nullptr) return "ERR unknown business unit: " + unit_name + "\n";
    if (verb == "callback-service" && (value == "on" || value == "off")) {
      unit->on = value == "on";
      return "";
    }
    if (verb == "callback-hours" && ParseHours(value, unit->opens, unit->closes)) return "";
    return "ERR bad value: " + value + "\n";
  }
  if (verb == "callback-block") {
    words >> value;
    if (value.empty()) return "ERR callback-block needs a prefix\n";
    blocked_.push_back(value);
    return "";
  }
  return std::nullopt;
}

}  // namespace sim
