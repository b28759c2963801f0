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

bool ReadExactly(int fd, char* buffer, std::size_t length) {
  std::size_t done = 0;
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

SimServer::SimServer(SimOptions options) : options_(std::move(options)), center_(options_.password) {}

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
  if (stopping_.exchange(true)) return;
  for (const int fd : {listener_, control_listener_}) {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
  }
  for (auto& acceptor : acceptors_) acceptor.join();
  for (const int fd : {listener_, control_listener_}) {
    if (fd >= 0) close(fd);
  }
  connections_.Stop([](Connection& connection) { shutdown(connection.fd, SHUT_RDWR); });
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
        if (connection.control) {
          ServeControl(connection.fd);
          connections_.Retire(connection, [](Connection& served) { close(served.fd); });
        } else {
          Serve(connection);
        }
      });
}

void SimServer::Serve(Connection& connection) {
  const int fd = connection.fd;
  std::string message;
  while (!stopping_) {
    message.assign(kHeaderBytes, '\0');
    if (!ReadExactly(fd, message.data(), kHeaderBytes)) break;
    const long long total = text::ReadDigits(message, protocol::kLengthOffset, protocol::kLengthDigits, 10).value;
    if (total < static_cast<long long>(kHeaderBytes) || total > kMaxRequestBytes) break;
    message.resize(static_cast<std::size_t>(total));
    const auto type = text::ReadDigits(message, protocol::kTypeOffset, protocol::kTypeDigits, 10).value;
    if (const auto stall = faults_.TakeWhileReading(static_cast<int>(type))) {
      for (long waited = 0; waited < stall->value && !stopping_; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (stall->kind == Fault::Kind::kStallClose) break;
    }
    if (!ReadExactly(fd, message.data() + kHeaderBytes, message.size() - kHeaderBytes)) break;
    connection.busy = true;
    const auto serial = ++next_request_;
    Request request;
    Response response;
    std::optional<Fault> fault;
    if (ParseRequest(message, request)) {
      fault = faults_.Take(request.type);
      if (fault && fault->kind == Fault::Kind::kDown) {
        Log("conn=" + std::to_string(connection.serial) + " req=" + std::to_string(serial) + " type=" +
            std::to_string(request.type) + " down");
        connection.busy = false;
        break;
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

    std::string answer = protocol::EncodeMessage(protocol::kVersion, response.id, response.type, response.fields);
    bool close_after = false;
    std::size_t piece = 0;  // 0: all at once
    if (fault) {
      switch (fault->kind) {
        case Fault::Kind::kDelay:
          for (long waited = 0; waited < fault->value && !stopping_; waited += 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
          break;
        case Fault::Kind::kClose:
          answer.clear();
          close_after = true;
          break;
        case Fault::Kind::kBadLength:
          SetLengthField(answer, static_cast<long long>(answer.size()) + 10);
          close_after = true;
          break;
        case Fault::Kind::kLength:
          SetLengthField(answer, fault->value);
          if (fault->value > static_cast<long>(answer.size())) answer.resize(static_cast<std::size_t>(fault->value), 'x');
          break;
        case Fault::Kind::kExtra:
          answer.append(static_cast<std::size_t>(fault->value), 'x');
          break;
        case Fault::Kind::kPieces:
          piece = static_cast<std::size_t>(fault->value);
          break;
        case Fault::Kind::kRefuseDiag:
        case Fault::Kind::kDown:
        case Fault::Kind::kStall:
        case Fault::Kind::kStallClose:
          break;
      }
    }
    if (piece == 0) piece = std::max<std::size_t>(answer.size(), 1);
    bool sent = true;
    for (std::size_t at = 0; sent && at < answer.size(); at += piece) {
      if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      sent = WriteAll(fd, answer.substr(at, piece));
    }
    connection.busy = false;
    if (!sent || close_after) break;
  }
  connections_.Retire(connection, [fd](Connection&) { close(fd); });
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
              " requests=" + std::to_string(next_request_.load()) + "\n";
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
