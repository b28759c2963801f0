#include "platform/FileWatches.h"

#include <errno.h>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace platform {
namespace {

// Requests name paths partly (the visitor's language), and the user's
// watches are shared with every other program the user runs: past this the
// files are checked with stat() instead.
constexpr std::size_t kMaxWatches = 1024;

constexpr std::uint32_t kFileEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW;
// A folder is watched for the names that come and go in it (a rename over
// the file, a folder replaced), for itself going, and for its permissions.
constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                        IN_MOVE_SELF | IN_ATTRIB | IN_ONLYDIR | IN_DONT_FOLLOW;

// File systems whose every change passes through this kernel. A network or
// user-space file system (NFS, SMB, FUSE, 9p, Ceph, ...) can change under us
// without a notice, as can any file system not named here.
bool ChangesRaiseNotices(const std::string& path) {
  struct statfs info {};
  if (statfs(path.c_str(), &info) != 0) return false;
  switch (static_cast<unsigned long>(info.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case SQUASHFS_MAGIC:
    case ISOFS_SUPER_MAGIC:
    case MSDOS_SUPER_MAGIC:
    case 0x2fc12fc1UL:  // zfs
    case 0xca451a4eUL:  // bcachefs
    case 0x2011bab0UL:  // exfat
      return true;
    default:
      return false;
  }
}

// The steps of an absolute path without ".", ".." or doubled separators, so
// that each folder on the way is watched by the name it is reached by; empty
// otherwise.
std::vector<std::string> StepsOf(const std::string& path) {
  std::vector<std::string> steps;
  if (!path.starts_with('/')) return {};
  std::size_t start = 1;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    std::string step = path.substr(start, end - start);
    if (step.empty() || step == "." || step == "..") return {};
    steps.push_back(std::move(step));
    start = end + 1;
  }
  return steps;
}

}  // namespace

FileWatches::FileWatches() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

FileWatches::~FileWatches() {
  if (fd_ >= 0) close(fd_);
}

bool FileWatches::AddWatch(const std::string& path, bool folder, const std::string& name, std::vector<Link>& links) {
  const int wd = inotify_add_watch(fd_, path.c_str(), folder ? kFolderEvents : kFileEvents);
  if (wd < 0) return false;
  WatchUse& watch = watches_[wd];
  ++watch.uses;
  if (!name.empty()) ++watch.names[name];
  links.push_back(Link{wd, name});
  return true;
}

void FileWatches::Release(const std::vector<Link>& links) {
  for (const Link& link : links) {
    const auto found = watches_.find(link.wd);
    if (found == watches_.end()) continue;
    if (!link.name.empty()) {
      const auto name = found->second.names.find(link.name);
      if (name != found->second.names.end() && --name->second == 0) found->second.names.erase(name);
    }
    if (--found->second.uses == 0) {
      inotify_rm_watch(fd_, link.wd);
      watches_.erase(found);
    }
  }
}

bool FileWatches::Watch(const std::string& path) {
  if (paths_.contains(path)) return true;
  const std::vector<std::string> steps = StepsOf(path);
  if (fd_ < 0 || steps.empty() || watches_.size() + steps.size() + 1 > kMaxWatches) return false;
  std::vector<Link> links;
  std::string folder = "/";
  bool watched = true;
  // From the root down: a folder replaced after its watch was added shows
  // as a name coming and going in the folder above, watched already.
  for (std::size_t step = 0; watched && step + 1 < steps.size(); ++step) {
    watched = ChangesRaiseNotices(folder) && AddWatch(folder, true, steps[step], links);
    folder += (step == 0 ? "" : "/") + steps[step];
  }
  // The file itself may be a mount of its own (one file of a network share
  // bound into the site folder).
  watched = watched && ChangesRaiseNotices(folder) && AddWatch(folder, true, steps.back(), links) &&
            ChangesRaiseNotices(path) && AddWatch(path, false, std::string(), links);
  if (!watched) {
    Release(links);
    return false;
  }
  paths_.emplace(path, std::move(links));
  return true;
}

void FileWatches::Forget(const std::string& path) {
  const auto found = paths_.find(path);
  if (found == paths_.end()) return;
  Release(found->second);
  paths_.erase(found);
}

void FileWatches::ForgetAll() {
  for (const auto& watch : watches_) inotify_rm_watch(fd_, watch.first);
  watches_.clear();
  paths_.clear();
}

bool FileWatches::Concerns(const std::vector<Link>& links, int wd, const std::string& name) const {
  return std::any_of(links.begin(), links.end(),
                     [&](const Link& link) { return link.wd == wd && (name.empty() || link.name == name); });
}

void FileWatches::TakeChanges(std::vector<std::string>& changed, bool& all) {
  all = false;
  if (fd_ < 0) return;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t count = read(fd_, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno == EAGAIN) break;
    if (count <= 0) {
      all = true;
      break;
    }
    for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(count);) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char* const name_start = buffer + at + sizeof event;
      at += sizeof event + event.len;
      if ((event.mask & IN_Q_OVERFLOW) != 0) {
        all = true;
        continue;
      }
      const auto watch = watches_.find(event.wd);
      if (watch == watches_.end()) continue;
      // A folder's notice names what came, went or changed in it; most
      // such names lead to nothing kept.
      const std::string name(name_start, strnlen(name_start, event.len));
      if (!name.empty() && !watch->second.names.contains(name)) continue;
      for (auto path = paths_.begin(); path != paths_.end();) {
        if (Concerns(path->second, event.wd, name)) {
          changed.push_back(path->first);
          Release(path->second);
          path = paths_.erase(path);
        } else {
          ++path;
        }
      }
    }
  }
  if (all) ForgetAll();
}

}  // namespace platform
