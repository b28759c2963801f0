// Change notices from the kernel for the files FileSnapshots keeps, so that a
// kept file costs no look at the file system while nothing has happened to
// it. Linux only; elsewhere nothing is ever watched and every file is checked
// with stat().
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

namespace platform {

// Not thread-safe: FileSnapshots calls it under its own lock.
class FileWatches {
 public:
  FileWatches();
  ~FileWatches();
  FileWatches(const FileWatches&) = delete;
  FileWatches& operator=(const FileWatches&) = delete;

  // Watches every folder from the root down to path and then the file
  // itself, before the caller reads it, so that no change can slip in between.
  // False when a change to path might raise no notice: a relative or
  // unresolved path, a file system whose changes may come from elsewhere
  // (network, user space), or no watch left. A link on the way is found by
  // the caller once the file is read (its resolved path differs) and then
  // given back with Forget.
  bool Watch(const std::string& path);
  void Forget(const std::string& path);
  void ForgetAll();

  // Takes every notice queued so far, without waiting, and gives back the
  // paths they may concern, which are no longer watched. A writer's notice
  // is queued before its system call returns, so a change made before this
  // call is always among them. all is set when notices were lost: then every
  // path counts as changed.
  void TakeChanges(std::vector<std::string>& changed, bool& all);

 private:
  // A watched folder with the name of the next step down, or the file with
  // an empty name.
  struct Link {
    int wd;
    std::string name;
  };
  struct WatchUse {
    int uses = 0;
    std::unordered_map<std::string, int> names;  // names below it that lead to a watched file
  };

  bool AddWatch(const std::string& path, bool folder, const std::string& name, std::vector<Link>& links);
  void Release(const std::vector<Link>& links);
  bool Concerns(const std::vector<Link>& links, int wd, const std::string& name) const;

  int fd_ = -1;
  std::unordered_map<int, WatchUse> watches_;
  std::unordered_map<std::string, std::vector<Link>> paths_;
};

}  // namespace platform
