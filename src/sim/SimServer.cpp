#include "sim/SimServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "platform/ListeningSocket.h"
#include "platform/Text.h"
#include "protocol/Message.h"

namespace sim {
namespace {

constexpr std::size_t kHeaderBytes = protocol::kHeaderLength;
constexpr long long kMaxRequestBytes = 64LL << 20;
constexpr std::size_t kLogEntries = 10000;

// Exactly length bytes: first what a loop read ahead, then from the socket.
bool ReadExactly(int fd, std::string& ahead, char* buffer, std::size_t length) {
  const std::size_t taken = std::min(length, ahead.size());
  std::memcpy(buffer, ahead.data(), taken);
  ahead.erase(0, taken);
  std::size_t done = taken;
  while (done < length) {
    const ssize_t count = recv(fd, buffer + done, length - done, 0);
    if (count == 0) return false;
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(count);
  }
  return true;
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t count = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(count);
  }
  return true;
}

int ListenOn(const std::string& address, int port, unsigned short& bound, std::string& error) {
  const auto listening = platform::OpenListeningSocket(address, static_cast<unsigned short>(port), {.backlog = 1024});
  if (listening.failure == platform::ListeningSocket::Failure::kNotIPv4) {
    error = "not an IPv4 address: " + address;
  } else if (!listening.ok()) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(listening.error_number);
  }
  bound = listening.port;
  return listening.fd;
}

void SetLengthField(std::string& message, long long length) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08lld", length % 100000000);
  message.replace(protocol::kLengthOffset, protocol::kLengthDigits, digits, protocol::kLengthDigits);
}

bool ParseRequest(std::string_view message, Request& request) {
  protocol::ParsedMessage parsed;
  if (!protocol::ParseMessage(message, parsed)) return false;
  request = {parsed.header.id, parsed.header.type, std::move(parsed.fields)};
  return true;
}

std::string Shorten(std::string text) {
  for (auto& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  if (text.size() > 120) text = text.substr(0, 120) + "...";
  return text;
}

}  // namespace

SimServer::SimServer(SimOptions options)
    : options_(std::move(options)), center_(options_.password), loops_(2, &SimServer::ServeReady, this) {}

SimServer::~SimServer() { Stop(); }

bool SimServer::Start(std::string& error) {
  listener_ = ListenOn(options_.address, options_.port, port_, error);
  if (listener_ < 0) return false;
  if (options_.control_port >= 0) {
    control_listener_ = ListenOn(options_.control_address, options_.control_port, control_port_, error);
    if (control_listener_ < 0) return false;
    acceptors_.emplace_back(&SimServer::AcceptLoop, this, control_listener_, true);
  }
  acceptors_.emplace_back(&SimServer::AcceptLoop, this, listener_, false);
  return true;
}

void SimServer::Stop() {
  {
    std::lock_guard lock(stop_mutex_);
    if (stopping_.exchange(true)) return;
  }
  stop_signal_.notify_all();
  for (const int fd : {listener_, control_listener_}) {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
  }
  for (auto& acceptor : acceptors_) acceptor.join();
  for (const int fd : {listener_, control_listener_}) {
    if (fd >= 0) close(fd);
  }
  loops_.Stop();
  // A connection the loops served has no thread left to close it.
  connections_.Stop([](Connection& connection) {
    if (connection.thread.joinable()) {
      shutdown(connection.fd, SHUT_RDWR);
    } else {
      close(connection.fd);
    }
  });
}

void SimServer::AcceptLoop(int listener, bool control) {
  connections_.AcceptLoop(
      listener, SOCK_CLOEXEC, stopping_,
      [this, control](int fd) {
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->control = control;
        if (!control) ++backend_accepted_;
        return connection;
      },
      [this](Connection& connection) {
        if (!connection.control && loops_.Add(connection.fd, &connection)) return;
        connection.thread = std::thread([this, &connection] {
          if (connection.control) {
            ServeControl(connection.fd);
            connections_.Retire(connection, [](Connection& served) { close(served.fd); });
          } else {
            Serve(connection, std::nullopt);
          }
        });
      });
}

std::optional<SimServer::Reply> SimServer::Answer(Connection& connection, std::string_view message) {
  const auto serial = ++next_request_;
  Request request;
  Response response;
  std::optional<Fault> fault;
  if (ParseRequest(message, request)) {
    fault = faults_.Take(request.type);
    if (fault && fault->kind == Fault::Kind::kDown) {
      Log("conn=" + std::to_string(connection.serial) + " req=" + std::to_string(serial) + " type=" +
          std::to_string(request.type) + " down");
      return std::nullopt;
    }
    const bool refuse = fault && fault->kind == Fault::Kind::kRefuseDiag;
    response = center_.Handle(request, refuse);
  } else {
    response = {0, 0, {protocol::Text(protocol::Code::kMalformedRequest)}};
  }
  std::string fields;
  for (std::size_t i = 0; i + 1 < request.fields.size(); ++i) fields += (i ? "|" : "") + Shorten(request.fields[i]);
  char id[16];
  std::snprintf(id, sizeof id, "%08X", static_cast<unsigned>(request.id));
  Log("conn=" + std::to_string(connection.serial) + " req=" + std::to_string(serial) + " type=" +
      std::to_string(request.type) + " id=" + id + " code=" + response.fields.front() + " fields=" + fields);

  Reply reply;
  reply.bytes = protocol::EncodeMessage(protocol::kVersion, response.id, response.type, response.fields);
  if (!fault) return reply;
  switch (fault->kind) {
    case Fault::Kind::kDelay:
      reply.delay_ms = fault->value;
      break;
    case Fault::Kind::kClose:
      reply.bytes.clear();
      reply.close_after = true;
      break;
    case Fault::Kind::kBadLength:
      SetLengthField(reply.bytes, static_cast<long long>(reply.bytes.size()) + 10);
      reply.close_after = true;
      break;
    case Fault::Kind::kLength:
      SetLengthField(reply.bytes, fault->value);
      if (fault->value > static_cast<long>(reply.bytes.size())) {
        reply.bytes.resize(static_cast<std::size_t>(fault->value), 'x');
      }
      break;
    case Fault::Kind::kExtra:
      reply.bytes.append(static_cast<std::size_t>(fault->value), 'x');
      break;
    case Fault::Kind::kPieces:
      reply.piece = static_cast<std::size_t>(fault->value);
      break;
    case Fault::Kind::kRefuseDiag:
    case Fault::Kind::kDown:
    case Fault::Kind::kStall:
    case Fault::Kind::kStallClose:
      break;
  }
  return reply;
}

void SimServer::WaitUnlessStopping(long long milliseconds) {
  // One wait against one deadline: steps of their own each overshot a little
  // (a 200 ms delay made of twenty came out several ms longer), and hundreds
  // of delayed answers waking every step loaded the machine they measure.
  if (milliseconds <= 0) return;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock lock(stop_mutex_);
  ++waiting_;
  stop_signal_.wait_until(lock, until, [this] { return stopping_.load(); });
  --waiting_;
}

bool SimServer::Send(int fd, const Reply& reply) {
  WaitUnlessStopping(reply.delay_ms);
  const std::size_t piece = reply.piece == 0 ? std::max<std::size_t>(reply.bytes.size(), 1) : reply.piece;
  for (std::size_t at = 0; at < reply.bytes.size(); at += piece) {
    if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!WriteAll(fd, reply.bytes.substr(at, piece))) return false;
  }
  return !reply.close_after;
}

void SimServer::Serve(Connection& connection, std::optional<Reply> unsent) {
  const int fd = connection.fd;
  bool open = !unsent || Send(fd, *unsent);
  connection.busy = false;
  std::string message;
  while (open && !stopping_) {
    message.assign(kHeaderBytes, '\0');
    if (!ReadExactly(fd, connection.input, message.data(), kHeaderBytes)) break;
    const long long total = text::ReadDigits(message, protocol::kLengthOffset, protocol::kLengthDigits, 10).value;
    if (total < static_cast<long long>(kHeaderBytes) || total > kMaxRequestBytes) break;
    message.resize(static_cast<std::size_t>(total));
    const auto type = text::ReadDigits(message, protocol::kTypeOffset, protocol::kTypeDigits, 10).value;
    if (const auto stall = faults_.TakeWhileReading(static_cast<int>(type))) {
      WaitUnlessStopping(stall->value);
      if (stall->kind == Fault::Kind::kStallClose) break;
    }
    if (!ReadExactly(fd, connection.input, message.data() + kHeaderBytes, message.size() - kHeaderBytes)) break;
    connection.busy = true;
    const auto reply = Answer(connection, message);
    open = reply && Send(fd, *reply);
    connection.busy = false;
  }
  connections_.Retire(connection, [fd](Connection&) { close(fd); });
}

void SimServer::ServeReady(void* owner, void* context) {
  auto& self = *static_cast<SimServer*>(owner);
  auto& connection = *static_cast<Connection*>(context);
  const auto end = [&self, &connection] {
    self.connections_.Retire(connection, [](Connection& served) { close(served.fd); });
  };
  char buffer[16384];
  const ssize_t count = recv(connection.fd, buffer, sizeof buffer, 0);
  if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (count <= 0) return end();
  connection.input.append(buffer, static_cast<std::size_t>(count));
  for (;;) {
    // Faults sleep, read in pieces and write in pieces: a thread of the
    // connection's own does all that, as it always has.
    if (self.faults_.Armed()) return self.HandOff(connection, std::nullopt);
    if (connection.input.size() < kHeaderBytes) return;
    const long long total =
        text::ReadDigits(connection.input, protocol::kLengthOffset, protocol::kLengthDigits, 10).value;
    if (total < static_cast<long long>(kHeaderBytes) || total > kMaxRequestBytes) return end();
    if (connection.input.size() < static_cast<std::size_t>(total)) return;
    connection.busy = true;
    auto reply = self.Answer(connection, std::string_view(connection.input).substr(0, static_cast<std::size_t>(total)));
    connection.input.erase(0, static_cast<std::size_t>(total));
    if (!reply) return end();
    ssize_t sent = 0;
    if (reply->delay_ms == 0 && reply->piece == 0) {
      sent = send(connection.fd, reply->bytes.data(), reply->bytes.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno != EAGAIN && errno != EINTR) return end();
    }
    if (static_cast<std::size_t>(std::max<ssize_t>(sent, 0)) < reply->bytes.size() || reply->delay_ms != 0) {
      reply->bytes.erase(0, static_cast<std::size_t>(std::max<ssize_t>(sent, 0)));
      return self.HandOff(connection, std::move(reply));
    }
    connection.busy = false;
    if (reply->close_after) return end();
  }
}

void SimServer::HandOff(Connection& connection, std::optional<Reply> unsent) {
  SocketLoops::Detach(connection.fd);
  connections_.StartThread(connection, [this, unsent = std::move(unsent)](Connection& served) mutable {
    Serve(served, std::move(unsent));
  });
}

void SimServer::ServeControl(int fd) {
  std::string pending;
  char buffer[1024];
  ssize_t count;
  while (!stopping_ && (count = recv(fd, buffer, sizeof buffer, 0)) > 0) {
    pending.append(buffer, static_cast<std::size_t>(count));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!WriteAll(fd, Control(line))) break;
    }
  }
}

std::string SimServer::Control(const std::string& command) {
  std::istringstream words(command);
  std::string verb;
  words >> verb;
  std::string answer;
  const auto lines = [&answer](const auto& entries) {
    for (const auto& entry : entries) answer += Shorten(entry) + "\n";
  };
  if (verb == "fault") {
    std::string rest;
    std::getline(words, rest);
    if (!faults_.Set(rest)) return "ERR unknown fault:" + rest + "\n";
  } else if (verb == "clear") {
    faults_.Clear();
  } else if (verb == "close-idle") {
    const int closed = connections_.WithConnections([](Connections& connections) {
      int count = 0;
      for (auto& [serial, connection] : connections) {
        if (!connection->control && !connection->busy) {
          shutdown(connection->fd, SHUT_RDWR);
          ++count;
        }
      }
      return count;
    });
    answer += "closed=" + std::to_string(closed) + "\n";
  } else if (verb == "log") {
    std::lock_guard lock(mutex_);
    lines(log_);
  } else if (verb == "heartbeats") {
    lines(center_.Heartbeats());
  } else if (verb == "reports") {
    // One line per report, its fields separated by " | ".
    for (auto report : center_.Reports()) {
      for (auto at = report.find('\n'); at != std::string::npos; at = report.find('\n', at)) report.replace(at, 1, " | ");
      answer += report + "\n";
    }
  } else if (verb == "voice") {
    if (!ControlVoice(words, answer)) return "ERR bad voice command\n";
  } else if (verb == "stats") {
    const int open = connections_.WithConnections([](Connections& connections) {
      int count = 0;
      for (const auto& [serial, connection] : connections) count += connection->control ? 0 : 1;
      return count;
    });
    answer += "accepted=" + std::to_string(backend_accepted_.load()) + " open=" + std::to_string(open) +
              " requests=" + std::to_string(next_request_.load()) + " held=" + std::to_string(waiting_.load()) + "\n";
  } else if (auto reply = center_.CallbackControl(verb, words)) {
    if (reply->starts_with("ERR ")) return *reply;
    answer += *reply;
  } else {
    return "ERR unknown command: " + verb + "\n";
  }
  return answer + "END\n";
}

bool SimServer::ControlVoice(std::istream& words, std::string& answer) {
  std::string what;
  long value = 0;
  words >> what;
  if (what == "calls") {
    for (const auto& line : center_.Voice().Describe()) answer += line + "\n";
    return true;
  }
  if (!(words >> value) || value < 0) return false;
  if (what == "agent-free-every") {
    center_.Voice().SetAgentFreeEvery(std::chrono::milliseconds(value));
  } else if (what == "free") {
    answer += "routed=" + std::to_string(center_.Voice().FreeAgents(static_cast<int>(value))) + "\n";
  } else {
    return false;
  }
  return true;
}

void SimServer::Log(std::string line) {
  if (options_.log_requests) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
  std::lock_guard lock(mutex_);
  log_.push_back(std::move(line));
  while (log_.size() > kLogEntries) log_.pop_front();
}

}  // namespace sim
