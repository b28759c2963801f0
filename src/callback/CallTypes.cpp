#include "callback/CallTypes.h"

#include <algorithm>

#include "diag/Diags.h"
#include "pages/Placeholders.h"

namespace callback {

std::uint32_t CallTypeMap::Hash(std::string_view id) {
  std::uint32_t h = 0;
  for (const char c : id) h = h * 33u + static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c)));
  return h;
}

void CallTypeMap::Add(std::string id, std::string entry) {
  auto& bucket = buckets_[Hash(id) % kBuckets];
  const auto known = std::find_if(bucket.begin(), bucket.end(), [&](const auto& item) { return item.first == id; });
  if (known != bucket.end()) {
    known->second = std::move(entry);
    return;
  }
  bucket.emplace_back(std::move(id), std::move(entry));
  ++size_;
}

std::vector<std::pair<std::string, std::string>> CallTypeMap::Walk() const {
  std::vector<std::pair<std::string, std::string>> items;
  items.reserve(size_);
  for (const auto& bucket : buckets_) items.insert(items.end(), bucket.rbegin(), bucket.rend());
  return items;
}

void DecodeCallTypeMessage(std::string_view message, CallTypeMap& map) {
  diag::EntryExitRecords records("CRAVOExtension::DecodeCallTypeMessage entering",
                                 "CRAVOExtension::DecodeCallTypeMessage leaving");
  auto begin = message.find(kRecordSeparator);
  if (begin == std::string_view::npos) return;
  for (auto end = message.find(kRecordSeparator, begin + 1); end != std::string_view::npos;
       begin = end, end = message.find(kRecordSeparator, begin + 1)) {
    const std::string_view record = message.substr(begin + 1, end - begin - 1);
    const auto part = record.find(kPartSeparator);
    if (part != std::string_view::npos && part > 0) {
      map.Add(std::string(record.substr(0, part)), std::string(record.substr(part + 1)));
    }
  }
}

std::string ResolveCallTypeName(std::string_view entry) {
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::ResolveCallTypeName entering", "ISAPI", 0);
  const auto part = entry.find(kPartSeparator);
  if (entry.empty() || part == std::string_view::npos || part == 0) return "Unknown";
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::ResolveCallTypeName leaving", "ISAPI", 0);
  return std::string(entry.substr(0, part));
}

std::string CallTypeOptions(const CallTypeMap& map) {
  std::string options;
  bool first = true;
  for (const auto& [id, entry] : map.Walk()) {
    options += "<OPTION value='" + HtmlEscaped(id) + (first ? "' selected>" : "'>") +
               HtmlEscaped(ResolveCallTypeName(entry)) + "</OPTION>";
    first = false;
  }
  return options;
}

}  // namespace callback
