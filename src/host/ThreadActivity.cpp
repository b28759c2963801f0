#include "host/ThreadActivity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

namespace host {

pid_t CurrentThreadId() { return gettid(); }

bool ThreadIsRunnable(pid_t tid) {
  if (tid <= 0) return false;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // "tid (name) S ...": the name may hold spaces and parentheses, so the
  // state is the field after the last ')'. 512 bytes reach well past it.
  char text[512];
  const ssize_t count = read(fd, text, sizeof text);
  close(fd);
  if (count <= 0) return false;
  const std::string_view stat(text, static_cast<std::size_t>(count));
  const std::size_t name_end = stat.rfind(')');
  if (name_end == std::string_view::npos || name_end + 2 >= stat.size()) return false;
  return stat[name_end + 2] == 'R';
}

}  // namespace host
