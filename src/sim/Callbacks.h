// The simulator's callback service: per business unit its opening hours, a
// switch, and the call types it offers; the callbacks visitors asked for,
// kept with their schedules and time-zone offset until the process ends.
//
// Thread-safe: connection threads answer requests while the control port
// reads and changes the service.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Callbacks {
 public:
  // Minutes since local midnight; tests of the class pass their own.
  using MinuteOfDay = std::function<int()>;
  static int LocalMinuteOfDay();

  explicit Callbacks(MinuteOfDay now = &Callbacks::LocalMinuteOfDay);

  // Each takes the caller's fields (password removed) and returns the
  // response fields, field 0 the return code.
  std::vector<std::string> Availability(const std::vector<std::string>& fields);
  std::vector<std::string> Request(const std::vector<std::string>& fields);

  // A control command of the service, or empty when verb is none of them:
  //   callbacks                          one line per stored callback
  //   callback-service UNIT on|off
  //   callback-hours UNIT HH:MM-HH:MM    equal times: closed all day; may wrap midnight
  //   callback-block PREFIX              numbers starting so are refused
  // The answer's lines; a line "ERR ..." alone when the command is wrong.
  std::optional<std::string> Control(const std::string& verb, std::istream& words);

  static constexpr std::size_t kMaxStored = 10000;

 private:
  struct CallType {
    std::string id;  // unique over all units: it tells a request's unit
    std::string name;
    std::string description;
  };
  struct Unit {
    std::string name;
    int opens = 0;    // minute of day
    int closes = 0;   // minute of day, 1440 for midnight
    bool on = true;
    std::vector<CallType> types;
  };
  struct Stored {
    std::string id;
    std::string unit;
    std::vector<std::string> fields;  // the nine of the request, as received
    std::string number;               // the telephone number, digits and '+' only
  };

  Unit* FindUnit(const std::string& name);
  Unit* UnitOfCallType(const std::string& id);
  bool Open(const Unit& unit) const;
  // Why number must not be called, or empty.
  std::string RefusalReason(const std::string& number, const std::string& digits) const;

  const MinuteOfDay now_;
  mutable std::mutex mutex_;
  std::vector<Unit> units_;                // guarded by mutex_
  std::vector<std::string> blocked_;       // guarded by mutex_
  std::vector<Stored> stored_;             // guarded by mutex_
  std::uint64_t next_id_ = 0;              // guarded by mutex_
};

}  // namespace sim
