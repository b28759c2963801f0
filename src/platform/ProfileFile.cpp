#include "platform/ProfileString.h"

#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/FileSnapshots.h"

namespace platform {
namespace {

// Every value of one version of a file.
struct ParsedProfile {
  std::shared_ptr<const FileSnapshot> file;
  ProfileEntries entries;
};

std::shared_ptr<const ParsedProfile> Parse(std::shared_ptr<const FileSnapshot> file) {
  ProfileEntries entries(file->text);
  return std::make_shared<const ParsedProfile>(ParsedProfile{std::move(file), std::move(entries)});
}

// The parsed form of each file's current version, so that a page's many
// lookups cost one check of the file and a hash each.
std::shared_ptr<const ParsedProfile> ParsedNow(const std::string& path) {
  static std::mutex mutex;
  static std::unordered_map<std::string, std::shared_ptr<const ParsedProfile>> parsed_files;
  auto file = ReadFileSnapshot(path, kMaxProfileFileBytes);
  std::lock_guard lock(mutex);
  if (file == nullptr) {
    parsed_files.erase(path);
    return nullptr;
  }
  auto& parsed = parsed_files[path];
  if (parsed == nullptr || parsed->file != file) parsed = Parse(std::move(file));
  return parsed;
}

}  // namespace

std::string ReadProfileString(const std::string& path, std::string_view section,
                             std::string_view key) {
  const auto parsed = ParsedNow(path);
  if (parsed == nullptr) return {};
  const ProfileEntry* entry = parsed->entries.Find(section, key);
  return entry == nullptr ? std::string() : entry->value;
}

}  // namespace platform
