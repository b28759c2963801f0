// The simulator's back-end port seen from a client: requests that arrive in
// any pieces are each answered, also across the moment a fault moves the
// connection from the event loops to a thread of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/Message.h"
#include "sim/SimServer.h"

namespace {

using namespace std::chrono_literals;

std::string Heartbeat(std::uint32_t id) {
  return protocol::EncodeMessage(protocol::kVersion, id, 1000, {"host", "app", "80", ""});
}

class SimServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
  }

  int Connect() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server_.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
  }

  // The id of the next answer on fd and its code; id 0 when none came.
  static std::pair<std::uint32_t, std::string> Answer(int fd) {
    std::string message(protocol::kHeaderLength, '\0');
    if (!ReadAll(fd, message.data(), message.size())) return {0, ""};
    const auto total = std::stoul(message.substr(protocol::kLengthOffset, protocol::kLengthDigits));
    message.resize(total);
    if (!ReadAll(fd, message.data() + protocol::kHeaderLength, total - protocol::kHeaderLength)) return {0, ""};
    protocol::ParsedMessage parsed;
    if (!protocol::ParseMessage(message, parsed) || parsed.fields.empty()) return {0, ""};
    return {parsed.header.id, parsed.fields.front()};
  }

  static bool ReadAll(int fd, char* buffer, std::size_t length) {
    for (std::size_t done = 0; done < length;) {
      const ssize_t count = recv(fd, buffer + done, length - done, 0);
      if (count <= 0) return false;
      done += static_cast<std::size_t>(count);
    }
    return true;
  }

  static void SendPieces(int fd, const std::string& bytes, std::size_t piece) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      const auto part = bytes.substr(at, piece);
      ASSERT_EQ(send(fd, part.data(), part.size(), MSG_NOSIGNAL), static_cast<ssize_t>(part.size()));
    }
  }

  // Whether the one-digit figure after name in the stats shows value within 5 s.
  bool StatReaches(const std::string& name, const std::string& value) {
    const auto figure = [&] {
      const auto stats = server_.Control("stats");
      return stats.substr(stats.find(name) + name.size(), 1);
    };
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         figure() != value && std::chrono::steady_clock::now() < deadline;) {
      std::this_thread::yield();
    }
    return figure() == value;
  }

  static sim::SimOptions Options() {
    sim::SimOptions options;
    options.port = 0;
    options.log_requests = false;
    return options;
  }

  sim::SimServer server_{Options()};
};

TEST_F(SimServerTest, RequestsInAnyPiecesAreEachAnswered) {
  struct Row {
    const char* fault;  // set before the requests go out; nullptr: none
    std::size_t piece;  // bytes per send; 0: all requests in one send
  };
  const Row rows[] = {
      {nullptr, 0}, {nullptr, 1}, {nullptr, 7}, {nullptr, 50},
      // The fault takes the connection off the loops with the second request
      // (and what was sent with it) already read: a thread answers them all.
      {"delay 20 1", 0}, {"extra 0 1", 0}, {"delay 20 1", 50},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.fault ? row.fault : "no fault") + ", pieces of " + std::to_string(row.piece));
    const int fd = Connect();
    // A first exchange puts the connection on the loops before any fault.
    SendPieces(fd, Heartbeat(1), 1000);
    EXPECT_EQ(Answer(fd), std::make_pair(1u, std::string("0")));
    if (row.fault != nullptr) {
      ASSERT_EQ(server_.Control(std::string("fault ") + row.fault), "END\n");
    }
    std::string requests;
    for (std::uint32_t id = 2; id <= 4; ++id) requests += Heartbeat(id);
    SendPieces(fd, requests, row.piece == 0 ? requests.size() : row.piece);
    for (std::uint32_t id = 2; id <= 4; ++id) EXPECT_EQ(Answer(fd), std::make_pair(id, std::string("0")));
    server_.Control("clear");
    close(fd);
  }
}

TEST_F(SimServerTest, ConnectionsEndWithTheirClientOrTheStop) {
  const int left = Connect();
  const int kept = Connect();
  const int threaded = Connect();
  for (const int fd : {left, kept, threaded}) {
    SendPieces(fd, Heartbeat(9), 1000);
    EXPECT_EQ(Answer(fd).first, 9u);
  }
  ASSERT_EQ(server_.Control("fault delay 1 1"), "END\n");
  SendPieces(threaded, Heartbeat(10), 1000);
  EXPECT_EQ(Answer(threaded).first, 10u);
  // A request cut off by its client's leaving is not answered, and nothing
  // else is disturbed.
  SendPieces(left, Heartbeat(11).substr(0, 20), 1000);
  close(left);
  EXPECT_TRUE(StatReaches("open=", "2"));
  // An answer the delay fault holds back does not hold back the stop.
  ASSERT_EQ(server_.Control("fault delay 60000 1"), "END\n");
  const int delayed = Connect();
  SendPieces(delayed, Heartbeat(12), 1000);
  ASSERT_TRUE(StatReaches("held=", "1"));
  // The stop ends both kinds at once, however long they have been idle.
  const auto stop_began = std::chrono::steady_clock::now();
  server_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stop_began, 5s);
  for (const int fd : {kept, threaded}) {
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0);
    close(fd);
  }
  close(delayed);
}

}  // namespace
