// Chat polls at the pace of real visitors rather than flat out: SESSIONS chats
// started through the host, then each polls once a second over its own
// kept-alive connection, the sessions' slots spread evenly over the second.
// A session whose answer is late skips the slots it missed instead of sending
// early or piling up, so no session ever has more than one poll in flight.
// Every answer must be a complete 200 (its Content-Length of body, nothing
// more); anything else counts as an error.
//
//   chat_paced_polls PORT PATH SESSIONS SECONDS
// Prints "pacing" when the first poll goes out, then the counts and the 50th,
// 99th and 99.9th percentile of a poll's latency (request sent to the last
// byte of its answer).
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/support/DirectClient.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartConnections = 32;                     // sessions started side by side
constexpr auto kGreeting = std::chrono::milliseconds(1500);  // until a poll from index 2 is a real poll
constexpr auto kDrain = std::chrono::seconds(10);         // for the last polls' answers
constexpr std::size_t kMaxHead = 16384;
constexpr int kMaxErrorsShown = 5;

// One kept-alive HTTP connection with at most one request in flight.
struct Connection {
  int fd = -1;
  std::string out;  // bytes of the request not yet sent
  std::string in;   // bytes of the answer so far
  Clock::time_point sent_at;
  bool busy = false;
};

enum class Progress { kIncomplete, kComplete, kBroken };

// An answer is complete once its head and Content-Length bytes of body are in;
// with one request in flight nothing may follow it.
Progress ParseAnswer(const std::string& in, int& status, std::string_view& body) {
  const auto head_end = in.find("\r\n\r\n");
  if (head_end == std::string::npos) return in.size() > kMaxHead ? Progress::kBroken : Progress::kIncomplete;
  if (in.compare(0, 9, "HTTP/1.1 ") != 0 || head_end < 12) return Progress::kBroken;
  status = std::atoi(in.c_str() + 9);
  std::string head = in.substr(0, head_end + 2);
  std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
  const auto field = head.find("\r\ncontent-length:");
  if (field == std::string::npos) return Progress::kBroken;
  const std::size_t length = std::strtoul(head.c_str() + field + 17, nullptr, 10);
  const std::size_t end = head_end + 4 + length;
  if (in.size() < end) return Progress::kIncomplete;
  if (in.size() > end) return Progress::kBroken;
  body = std::string_view(in).substr(head_end + 4, length);
  return Progress::kComplete;
}

class Generator {
 public:
  Generator(int port, std::string path) : port_(port), path_(std::move(path)), epoll_(epoll_create1(EPOLL_CLOEXEC)) {}
  ~Generator() {
    for (auto& connection : connections_) Close(connection);
    close(epoll_);
  }

  std::vector<std::string> StartSessions(int count);
  void Pace(const std::vector<std::string>& sessions, int seconds);
  void Report() const;

 private:
  bool Open(std::size_t index);
  void Close(Connection& connection);
  bool Send(std::size_t index, std::string request);
  bool Flush(std::size_t index);
  // kComplete with closed set: the answer came whole, then the host closed.
  Progress Receive(std::size_t index, int& status, std::string_view& body, bool& closed);
  void Error(const std::string& what);  // prints the first few
  // Waits up to `timeout` and hands each connection that is done to `done`
  // (index, status, body, time from request sent to the answer's last byte;
  // status 0 when the connection broke).
  template <typename Done>
  void Wait(Clock::duration timeout, Done&& done);

  const int port_;
  const std::string path_;
  const int epoll_;
  std::vector<Connection> connections_;
  std::vector<double> latencies_ms_;
  long sent_ = 0, errors_ = 0, skipped_ = 0, reconnects_ = 0;
  int shown_ = 0;  // error messages printed
};

bool Generator::Open(std::size_t index) {
  Connection& connection = connections_[index];
  connection.fd = bench::Connect(port_);
  if (connection.fd < 0) return false;
  fcntl(connection.fd, F_SETFL, fcntl(connection.fd, F_GETFL) | O_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = index;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, connection.fd, &event);
  return true;
}

void Generator::Close(Connection& connection) {
  if (connection.fd >= 0) close(connection.fd);  // also leaves the epoll set
  connection = Connection{};
}

bool Generator::Send(std::size_t index, std::string request) {
  Connection& connection = connections_[index];
  connection.out = std::move(request);
  connection.in.clear();
  connection.busy = true;
  connection.sent_at = Clock::now();
  return Flush(index);
}

bool Generator::Flush(std::size_t index) {
  Connection& connection = connections_[index];
  while (!connection.out.empty()) {
    const ssize_t count = send(connection.fd, connection.out.data(), connection.out.size(), MSG_NOSIGNAL);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (count <= 0) return false;
    connection.out.erase(0, static_cast<std::size_t>(count));
  }
  epoll_event event{};
  event.events = connection.out.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT;
  event.data.u64 = index;
  epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fd, &event);
  return true;
}

Progress Generator::Receive(std::size_t index, int& status, std::string_view& body, bool& closed) {
  Connection& connection = connections_[index];
  char buffer[16384];
  for (;;) {
    const ssize_t count = recv(connection.fd, buffer, sizeof buffer, 0);
    if (count > 0) {
      connection.in.append(buffer, static_cast<std::size_t>(count));
      continue;
    }
    closed = count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    break;
  }
  if (!connection.busy) return Progress::kBroken;  // closed, or bytes nobody asked for
  const Progress progress = ParseAnswer(connection.in, status, body);
  return closed && progress == Progress::kIncomplete ? Progress::kBroken : progress;
}

void Generator::Error(const std::string& what) {
  if (++shown_ <= kMaxErrorsShown) std::fprintf(stderr, "chat_paced_polls: %s\n", what.c_str());
}

template <typename Done>
void Generator::Wait(Clock::duration timeout, Done&& done) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
  epoll_event events[256];
  const int count = epoll_wait(epoll_, events, 256, static_cast<int>(std::max<long long>(ms, 0)));
  for (int e = 0; e < count; ++e) {
    const auto index = static_cast<std::size_t>(events[e].data.u64);
    Connection& connection = connections_[index];
    if ((events[e].events & EPOLLOUT) && !Flush(index)) {
      Close(connection);
      done(index, 0, std::string_view("send failed"), Clock::duration{});
      continue;
    }
    if (!(events[e].events & (EPOLLIN | EPOLLERR | EPOLLHUP))) continue;
    int status = 0;
    std::string_view body;
    bool closed = false;
    switch (Receive(index, status, body, closed)) {
      case Progress::kIncomplete:
        break;
      case Progress::kComplete: {
        const auto latency = Clock::now() - connection.sent_at;
        connection.busy = false;
        if (!closed) {
          done(index, status, body, latency);
          break;
        }
        const std::string answer(body);
        Close(connection);  // before `done`, which may open the slot's connection anew
        done(index, status, std::string_view(answer), latency);
        break;
      }
      case Progress::kBroken: {
        // Closed first, so that `done` may open the slot's connection anew; an
        // idle connection the host closed is opened again at its next use.
        const bool was_busy = connection.busy;
        const std::string partial = std::move(connection.in);
        Close(connection);
        if (was_busy) done(index, 0, std::string_view(partial), Clock::duration{});
        break;
      }
    }
  }
}

std::vector<std::string> Generator::StartSessions(int count) {
  const std::string body = "varUserRequest=REQ_JS_START&varCustomerName=Bench&varCaption=Load&varUserLanguage=en";
  const std::string request = "POST " + path_ + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                              "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  std::vector<std::string> sessions;
  connections_.assign(static_cast<std::size_t>(std::min(count, kStartConnections)), Connection{});
  int asked = 0, answered = 0;
  auto next = [&](std::size_t index) {
    if (asked == count) return;
    ++asked;
    if ((connections_[index].fd < 0 && !Open(index)) || !Send(index, request)) {
      Close(connections_[index]);
      ++answered;
      Error("cannot send a session start");
    }
  };
  for (std::size_t i = 0; i < connections_.size(); ++i) next(i);
  while (answered < asked) {
    Wait(std::chrono::seconds(1), [&](std::size_t index, int status, std::string_view answer, Clock::duration) {
      ++answered;
      constexpr std::string_view kMark = "data-session=\"";
      const auto at = answer.find(kMark);
      const auto end = at == std::string_view::npos ? at : answer.find('"', at + kMark.size());
      if (status == 200 && end != std::string_view::npos) {
        sessions.emplace_back(answer.substr(at + kMark.size(), end - at - kMark.size()));
      } else {
        Error("session start answered " + std::to_string(status) + " without a session");
      }
      next(index);
    });
  }
  for (auto& connection : connections_) Close(connection);
  return sessions;
}

void Generator::Pace(const std::vector<std::string>& sessions, int seconds) {
  const std::size_t n = sessions.size();
  std::vector<std::string> polls;
  for (const auto& session : sessions) {
    polls.push_back("GET " + path_ + "?varUserRequest=REQ_DELTA_CHAT&varSessionID=" + session +
                    "&varIndexKey=2&varUserLanguage=en HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                    "\r\n\r\n");
  }
  connections_.assign(n, Connection{});
  for (std::size_t i = 0; i < n; ++i) {
    if (!Open(i)) Error("cannot connect");  // tried again at the session's first slot
  }
  std::printf("pacing\n");
  std::fflush(stdout);

  const auto period = std::chrono::nanoseconds(std::chrono::seconds(1)) / static_cast<long>(n);
  const auto start = Clock::now();
  const std::size_t slots = n * static_cast<std::size_t>(seconds);
  std::size_t slot = 0;
  long in_flight = 0;
  auto done = [&](std::size_t, int status, std::string_view answer, Clock::duration latency) {
    --in_flight;
    if (status == 200) {
      latencies_ms_.push_back(std::chrono::duration<double, std::milli>(latency).count());
    } else {
      ++errors_;
      Error(status != 0 ? "poll answered " + std::to_string(status)
                        : "poll's connection broke after " + std::to_string(answer.size()) + " bytes of answer");
    }
  };
  for (;;) {
    const auto now = Clock::now();
    for (; slot < slots && start + period * static_cast<long>(slot) <= now; ++slot) {
      const std::size_t index = slot % n;
      if (connections_[index].busy) {
        ++skipped_;
        continue;
      }
      ++sent_;
      if (connections_[index].fd < 0) {
        ++reconnects_;
        if (!Open(index)) {
          ++errors_;
          Error("cannot connect");
          continue;
        }
      }
      ++in_flight;
      if (!Send(index, polls[index])) {
        done(index, 0, "send failed", Clock::duration{});
        Close(connections_[index]);
      }
    }
    const auto end = start + period * static_cast<long>(slots);
    if (slot == slots && (in_flight == 0 || now > end + kDrain)) break;
    Wait(slot < slots ? start + period * static_cast<long>(slot) - now : end + kDrain - now, done);
  }
  errors_ += in_flight;
  if (in_flight > 0) Error(std::to_string(in_flight) + " polls not answered within 10 s of the run's end");
}

void Generator::Report() const {
  std::vector<double> sorted = latencies_ms_;
  std::sort(sorted.begin(), sorted.end());
  auto percentile = [&](double p) {
    if (sorted.empty()) return 0.0;
    const auto rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(sorted.size()));
    return sorted[std::min(rank, sorted.size() - 1)];
  };
  std::printf("polls %ld errors %ld skipped-slots %ld reconnects %ld\n", sent_, errors_, skipped_, reconnects_);
  std::printf("latency ms p50 %.2f p99 %.2f p99.9 %.2f max %.2f\n", percentile(50), percentile(99), percentile(99.9),
              sorted.empty() ? 0.0 : sorted.back());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: chat_paced_polls PORT PATH SESSIONS SECONDS\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int count = std::atoi(argv[3]);
  const int seconds = std::atoi(argv[4]);
  if (port <= 0 || count <= 0 || seconds <= 0) return 2;
  // One descriptor per session.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  Generator generator(port, argv[2]);
  const auto began = Clock::now();
  const auto sessions = generator.StartSessions(count);
  std::printf("sessions %zu of %d started in %.1f s\n", sessions.size(), count,
              std::chrono::duration<double>(Clock::now() - began).count());
  if (sessions.empty()) return 1;
  std::this_thread::sleep_for(kGreeting);
  generator.Pace(sessions, seconds);
  generator.Report();
  return 0;
}
