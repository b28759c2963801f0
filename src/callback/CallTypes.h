// The call types a back end offers with its callback service, as it sends
// them: records between 0x10 bytes, each "id 0x0F name 0x0F further text".
//
// The map keeps the order the back end's own hash map walks in (17 buckets,
// newest id first in each), because the first id of that walk is the one the
// form preselects. Everything here works on the caller's values only and may
// run on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace callback {

inline constexpr char kRecordSeparator = '\x10';
inline constexpr char kPartSeparator = '\x0F';

class CallTypeMap {
 public:
  static constexpr std::size_t kBuckets = 17;

  // h = h * 33 + byte, bytes taken as signed, in unsigned 32-bit arithmetic.
  static std::uint32_t Hash(std::string_view id);

  // A new id goes to the head of its bucket; a known id keeps its place and
  // takes the new entry.
  void Add(std::string id, std::string entry);

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  // Ids and entries in walk order: buckets 0 to 16, each from its head.
  std::vector<std::pair<std::string, std::string>> Walk() const;

 private:
  std::array<std::vector<std::pair<std::string, std::string>>, kBuckets> buckets_;  // head at the back
  std::size_t size_ = 0;
};

// Adds every complete record of message (0x10 on both sides, a non-empty id
// before the first 0x0F) to map; the rest is skipped.
void DecodeCallTypeMessage(std::string_view message, CallTypeMap& map);

// The name part of an entry (before its first 0x0F), or "Unknown".
std::string ResolveCallTypeName(std::string_view entry);

// The <OPTION> list of the callback form: walk order, the first option
// selected. Ids and names come from the back end and are HTML-escaped, which
// changes nothing a browser shows or submits.
std::string CallTypeOptions(const CallTypeMap& map);

}  // namespace callback
