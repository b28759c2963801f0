// A tiny extension module that exercises the host alone. The query string
// says what to do: mode=sync|headers|pending|hold|release|state|echo|vars|error|twice.
// mode=state answers "live=L finishing=F": held requests the host still takes
// output for, and threads still finishing released requests; tests wait on
// these instead of sleeping. mode=loop&wait=deadline|readable|forever
// completes on the host's event-loop service (a deadline of ms, a timer descriptor
// that becomes readable after ms, or nothing but the host giving the request up), and
// mode=loopstate answers "abandoned=N": such waits the host reported given
// up. mode=hold&stall=MS stays MS inside
// HttpExtensionProc first and says so on standard output: a question over
// HTTP could land on the very server thread that stalls. mode=release
// answers held requests "released", or SIZE bytes for mode=hold&size=SIZE.
#include <fcntl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "isapi/httpext.h"

namespace {

std::string Param(const std::string& query, const std::string& name) {
  const std::string key = name + "=";
  std::size_t at = 0;
  while ((at = query.find(key, at)) != std::string::npos) {
    if (at == 0 || query[at - 1] == '&') {
      const auto start = at + key.size();
      return query.substr(start, query.find('&', start) - start);
    }
    at += key.size();
  }
  return {};
}

void Write(QX_EXTENSION_CONTROL_BLOCK* ecb, const std::string& text) {
  auto size = static_cast<uint32_t>(text.size());
  ecb->WriteClient(ecb->ConnID, text.data(), &size, 0);
}

void Done(QX_EXTENSION_CONTROL_BLOCK* ecb) {
  ecb->ServerSupportFunction(ecb->ConnID, QX_REQ_DONE_WITH_SESSION, nullptr, nullptr, nullptr);
}

struct Held {
  QX_EXTENSION_CONTROL_BLOCK* ecb;
  std::string answer;
};
std::mutex g_held_mutex;
std::vector<Held> g_held;
std::atomic<int> g_threads{0};

void Finish(QX_EXTENSION_CONTROL_BLOCK* ecb, int delay_ms, std::string body, bool twice) {
  ++g_threads;
  std::thread([=] {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    ecb->dwHttpStatusCode = 200;
    Write(ecb, body);
    Done(ecb);
    if (twice) {
      // Late enough that the client has its answer and has gone: the request
      // must still be there for this thread.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      Write(ecb, "after done");
      Done(ecb);
    }
    --g_threads;
  }).detach();
}

std::atomic<int> g_abandoned{0};

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One request completed on the loop; the callback owns it.
struct LoopRequest {
  QX_EXTENSION_CONTROL_BLOCK* ecb;
  int timer_fd = -1;
  std::thread::id caller;

  static void OnEvent(void* context, uint32_t events) {
    auto* self = static_cast<LoopRequest*>(context);
    if ((events & QX_LOOP_ABANDONED) != 0) ++g_abandoned;
    std::string text = "events=" + std::to_string(events);
    std::uint64_t expiries = 0;
    if (self->timer_fd >= 0 && read(self->timer_fd, &expiries, sizeof expiries) == sizeof expiries) {
      text += " read=" + std::to_string(expiries);
    }
    // A request's callbacks run on the thread that runs its loop.
    text += std::this_thread::get_id() == self->caller ? " same-thread" : " other-thread";
    Write(self->ecb, text);
    Done(self->ecb);
    if (self->timer_fd >= 0) close(self->timer_fd);
    delete self;
  }
  // The wait a second one replaced: never called back by a sound host. If
  // it were, the page says so instead of what the second wait saw.
  static void OnReplaced(void* context, uint32_t) {
    auto* self = static_cast<LoopRequest*>(context);
    Write(self->ecb, "the replaced wait called back");
    Done(self->ecb);
  }
};

uint32_t CompleteOnLoop(QX_EXTENSION_CONTROL_BLOCK* ecb, const std::string& wait, int ms) {
  QX_EVENT_LOOP_SERVICE service{};
  service.cbSize = sizeof service;
  uint32_t size = sizeof service;
  if (!ecb->ServerSupportFunction(ecb->ConnID, QX_REQ_GET_EVENT_LOOP, &service, &size, nullptr)) {
    Write(ecb, "no service, error " + std::to_string(errno));
    return QX_STATUS_SUCCESS;
  }
  auto* request = new LoopRequest{ecb, -1, std::this_thread::get_id()};
  int fd = -1;
  std::uint32_t events = 0;
  std::int64_t deadline = 0;
  if (wait == "deadline") deadline = NowNs() + std::int64_t{ms} * 1000000;
  // A timer descriptor becomes readable later with no thread of ours: a
  // thread started inside the call can take longer than the host lets a call
  // run before it hands the loop on, and the callback's thread then differs.
  if (wait == "readable") {
    // Non-blocking, so that a callback before the expiry shows (no "read=").
    request->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    itimerspec when{};
    when.it_value.tv_nsec = std::int64_t{ms} * 1000000;
    if (request->timer_fd >= 0 && timerfd_settime(request->timer_fd, 0, &when, nullptr) == 0) {
      fd = request->timer_fd;
      events = QX_LOOP_READABLE;
    }
  }
  // A wait replaced before the loop took it up never calls back.
  service.Wait(ecb->ConnID, -1, 0, NowNs(), &LoopRequest::OnReplaced, request);
  service.Wait(ecb->ConnID, fd, events, deadline, &LoopRequest::OnEvent, request);
  return QX_STATUS_PENDING;
}

// A zero-byte write is refused once the host has answered or dropped the request.
int LiveHeld() {
  std::lock_guard lock(g_held_mutex);
  int live = 0;
  for (const auto& held : g_held) {
    uint32_t none = 0;
    if (held.ecb->WriteClient(held.ecb->ConnID, "", &none, 0)) ++live;
  }
  return live;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int GetExtensionVersion(QX_VERSION_INFO* version) {
  version->dwExtensionVersion = QX_MAKE_VERSION(6, 0);
  std::strcpy(version->lpszExtensionDesc, "probe");
  return 1;
}

extern "C" __attribute__((visibility("default"))) int TerminateExtension(uint32_t) {
  // Let finishing threads leave the module before it is unloaded.
  while (g_threads.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return 1;
}

extern "C" __attribute__((visibility("default"))) uint32_t HttpExtensionProc(QX_EXTENSION_CONTROL_BLOCK* ecb) {
  std::string query = ecb->lpszQueryString;
  if (std::strcmp(ecb->lpszMethod, "POST") == 0 && ecb->cbAvailable > 0) {
    query.assign(reinterpret_cast<const char*>(ecb->lpbData), ecb->cbAvailable);
  }
  const std::string mode = Param(query, "mode");
  if (const std::string block = Param(query, "block"); !block.empty()) {
    // A module call that blocks, as one waiting on its back end does.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(block)));
  }
  if (const std::string spin = Param(query, "spin"); !spin.empty()) {
    // A module call that computes that long, never blocking.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(spin));
    while (std::chrono::steady_clock::now() < until) {
    }
  }
  if (mode == "hog") {
    // Holds count descriptors, as a module with many files and sockets
    // open does; count=0 gives them back.
    static std::vector<int> hogged;
    static std::mutex hog_mutex;
    std::lock_guard lock(hog_mutex);
    for (const int fd : hogged) close(fd);
    hogged.clear();
    for (int i = std::stoi(Param(query, "count")); i > 0; --i) {
      const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      hogged.push_back(fd);
    }
    Write(ecb, std::to_string(hogged.size()));
    return QX_STATUS_SUCCESS;
  }
  if (mode == "sync") {
    const std::string size = Param(query, "size");
    std::string body = size.empty() ? "hello" : std::string(std::stoul(size), 'x');
    for (std::size_t at = 0; at < body.size(); at += 7000) Write(ecb, body.substr(at, 7000));
    return QX_STATUS_SUCCESS;
  }
  if (mode == "headers") {
    char status[] = "404 Not Found";
    char headers[] = "X-Probe: yes\r\nContent-Type: text/plain\r\nContent-Length: 99\r\nConnection: close\r\n";
    uint32_t size = sizeof status;
    ecb->ServerSupportFunction(ecb->ConnID, QX_REQ_SEND_RESPONSE_HEADER, status, &size, headers);
    Write(ecb, "\r\n");
    Write(ecb, "not here");
    return QX_STATUS_SUCCESS;
  }
  if (mode == "pending" || mode == "twice") {
    const std::string delay = Param(query, "delay");
    Finish(ecb, delay.empty() ? 0 : std::stoi(delay), "late " + Param(query, "id"), mode == "twice");
    return QX_STATUS_PENDING;
  }
  if (mode == "loop") {
    const std::string ms = Param(query, "ms");
    return CompleteOnLoop(ecb, Param(query, "wait"), ms.empty() ? 0 : std::stoi(ms));
  }
  if (mode == "loopstate") {
    Write(ecb, "abandoned=" + std::to_string(g_abandoned.load()));
    return QX_STATUS_SUCCESS;
  }
  if (mode == "hold") {
    if (const std::string stall = Param(query, "stall"); !stall.empty()) {
      std::printf("probe: stalling %s ms\n", stall.c_str());
      std::fflush(stdout);
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(stall)));
    }
    std::lock_guard lock(g_held_mutex);
    const std::string size = Param(query, "size");
    g_held.push_back({ecb, size.empty() ? std::string("released") : std::string(std::stoul(size), 'x')});
    return QX_STATUS_PENDING;
  }
  if (mode == "release") {
    std::vector<Held> held;
    {
      std::lock_guard lock(g_held_mutex);
      held.swap(g_held);
    }
    for (auto& pending : held) Finish(pending.ecb, 0, std::move(pending.answer), false);
    Write(ecb, std::to_string(held.size()));
    return QX_STATUS_SUCCESS;
  }
  if (mode == "state") {
    Write(ecb, "live=" + std::to_string(LiveHeld()) + " finishing=" + std::to_string(g_threads.load()));
    return QX_STATUS_SUCCESS;
  }
  if (mode == "echo") {
    std::string body(reinterpret_cast<const char*>(ecb->lpbData), ecb->cbAvailable);
    char chunk[4096];
    uint32_t size = sizeof chunk;
    while (body.size() < ecb->cbTotalBytes && ecb->ReadClient(ecb->ConnID, chunk, &size) && size > 0) {
      body.append(chunk, size);
      size = sizeof chunk;
    }
    Write(ecb, std::to_string(body.size()) + ":" + body.substr(0, 64));
    return QX_STATUS_SUCCESS;
  }
  if (mode == "vars") {
    std::string names = Param(query, "names") + ",";
    for (std::size_t start = 0, end; (end = names.find(',', start)) != std::string::npos; start = end + 1) {
      const std::string name = names.substr(start, end - start);
      char small[4];
      uint32_t size = sizeof small;
      std::string value;
      if (!ecb->GetServerVariable(ecb->ConnID, name.c_str(), small, &size)) {
        if (errno == QX_ERROR_INSUFFICIENT_BUFFER) {
          std::vector<char> big(size);
          if (ecb->GetServerVariable(ecb->ConnID, name.c_str(), big.data(), &size)) value = big.data();
        } else {
          value = "<unknown " + std::to_string(errno) + ">";
        }
      } else {
        value = small;
      }
      Write(ecb, name + "=" + value + "\n");
    }
    return QX_STATUS_SUCCESS;
  }
  if (mode == "error") return QX_STATUS_ERROR;
  ecb->dwHttpStatusCode = 400;
  Write(ecb, "unknown mode");
  return QX_STATUS_SUCCESS;
}
