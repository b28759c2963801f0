#include "net/TRSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "backend/SocketFactory.h"
#include "support/LoopbackListener.h"
#include "support/WaitUntil.h"

namespace {

// A connected pair over loopback: the TRSocket under test and the server's
// end as a plain descriptor.
class TRSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = ListenOnLoopback(port_);
    ASSERT_GE(listener_, 0);
    ASSERT_EQ(client_.Create(0, 1, nullptr), 0);
    ASSERT_EQ(client_.Connect("127.0.0.1", port_), 0);
    server_ = accept(listener_, nullptr, nullptr);
    ASSERT_GE(server_, 0);
  }
  void TearDown() override {
    if (server_ >= 0) close(server_);
    close(listener_);
  }
  void ServerSends(const std::string& data) {
    ASSERT_EQ(send(server_, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
  }
  void ServerCloses() {
    close(server_);
    server_ = -1;
  }
  // What the server sent is not at the client's socket yet when send returns.
  bool ClientHasUnread(int count) {
    return WaitUntil([&] {
      int unread = 0;
      return ioctl(client_.handle(), FIONREAD, &unread) == 0 && unread >= count;
    });
  }
  bool ClientSeesTheClose() {
    pollfd client{client_.handle(), POLLRDHUP, 0};
    return poll(&client, 1, 10'000) == 1 && (client.revents & POLLRDHUP) != 0;
  }

  int listener_ = -1;
  int server_ = -1;
  int port_ = 0;
  TRSocket client_;
};

TEST_F(TRSocketTest, ReceiveWithZeroTimeoutOnAQuietSocketTimesOutAtOnce) {
  char buffer[16];
  std::size_t got = 99;
  bool timed_out = false;
  EXPECT_EQ(client_.Receive(buffer, sizeof buffer, got, timed_out, 0, 0, true), 0);
  EXPECT_TRUE(timed_out);
  EXPECT_EQ(got, 0u);
}

TEST_F(TRSocketTest, FillStopsAtThePeersCloseWithWhatCame) {
  ServerSends(std::string(10, 'a'));
  ServerCloses();
  char buffer[30];
  std::size_t got = 0;
  bool timed_out = true;
  EXPECT_EQ(client_.Receive(buffer, sizeof buffer, got, timed_out, 5, 0, true), 0);
  EXPECT_EQ(got, 10u);
  EXPECT_FALSE(timed_out);
}

TEST_F(TRSocketTest, FillWaitsOnceMoreThenReportsTheTimeoutWithThePartialCount) {
  ServerSends("abc");
  char buffer[10];
  std::size_t got = 0;
  bool timed_out = false;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client_.Receive(buffer, sizeof buffer, got, timed_out, 1, 0, true), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_TRUE(timed_out);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(TRSocketTest, WithoutFillTheFirstReadIsEnough) {
  ServerSends("abc");
  char buffer[10];
  std::size_t got = 0;
  bool timed_out = false;
  EXPECT_EQ(client_.Receive(buffer, sizeof buffer, got, timed_out, 5, 0, false), 0);
  EXPECT_EQ(got, 3u);
}

TEST_F(TRSocketTest, FlushDiscardsWhatIsPendingInSmallReads) {
  ServerSends(std::string(250, 'z'));
  ASSERT_TRUE(ClientHasUnread(250));
  std::size_t discarded = 0;
  EXPECT_EQ(client_.Flush(discarded), 0);
  EXPECT_EQ(discarded, 250u);
  EXPECT_EQ(client_.Flush(discarded), 0);
  EXPECT_EQ(discarded, 0u);
}

TEST_F(TRSocketTest, IsClosedTellsAClosedPeerFromAnIdleOrBusyConnection) {
  EXPECT_FALSE(client_.IsClosed()) << "idle";
  ServerSends("pending");
  ASSERT_TRUE(ClientHasUnread(7));
  EXPECT_FALSE(client_.IsClosed()) << "unread data";
  char buffer[16];
  std::size_t got = 0;
  bool timed_out = false;
  ASSERT_EQ(client_.Receive(buffer, 7, got, timed_out, 1, 0, true), 0);
  EXPECT_EQ(std::string(buffer, got), "pending") << "the data stayed for the reader";
  ServerCloses();
  ASSERT_TRUE(ClientSeesTheClose());
  EXPECT_TRUE(client_.IsClosed());
}

TEST_F(TRSocketTest, ASendThePeerNeverReadsIsATimeoutWithWhatWentOut) {
  // Small buffers on both ends: a message far larger cannot go out whole.
  const int small = 4096;
  ASSERT_EQ(setsockopt(client_.handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ASSERT_EQ(setsockopt(server_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  const std::string message(4 << 20, 'q');
  std::size_t sent = 0;
  EXPECT_EQ(client_.Send(message.data(), message.size(), sent, 1, 0), ETIMEDOUT);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, message.size());
}

TEST_F(TRSocketTest, SendToAClosedPeerIsAnErrorNotASignal) {
  ServerCloses();
  ASSERT_TRUE(ClientSeesTheClose());
  std::size_t sent = 0;
  int result = 0;
  for (int i = 0; i < 10 && result == 0; ++i) result = client_.Send("x", 1, sent, 1, 0);
  EXPECT_NE(result, 0);
}

TEST_F(TRSocketTest, CloseIsSafeTwiceAndReportsNothingOpen) {
  EXPECT_EQ(client_.Close(), 0);
  EXPECT_EQ(client_.Close(), -1);
  EXPECT_TRUE(client_.IsClosed());
  TRSocket unopened;
  EXPECT_EQ(unopened.Close(), -1);
}

TEST_F(TRSocketTest, LocalPortAndAddress) {
  std::string address;
  int port = 0;
  EXPECT_EQ(client_.GetHostName(&address, port), 0);
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_GT(port, 0);
}

TEST(TRSocketConnectTest, UnresolvableHostsAndRefusedPorts) {
  TRSocket socket;
  ASSERT_EQ(socket.Create(0, 1, nullptr), 0);
  EXPECT_EQ(socket.Connect("no-such-host.invalid", 80), TRSocket::kErrorInvalidAddress);
  TRSocket refused;
  ASSERT_EQ(refused.Create(0, 1, nullptr), 0);
  EXPECT_EQ(refused.Connect("127.0.0.1", 1), ECONNREFUSED);
  TRSocket bad_bind;
  EXPECT_EQ(bad_bind.Create(0, 1, "not-an-address"), TRSocket::kErrorInvalidAddress);
  EXPECT_EQ(bad_bind.handle(), TRSocket::kInvalidSocket);
}

TEST(SocketFactoryTest, ConnectedSocketsOrNull) {
  SocketFactory factory;
  factory.options.host = "127.0.0.1";
  factory.options.port = 1;
  EXPECT_EQ(factory.Create(), nullptr);
  factory.options.host = "no-such-host.invalid";
  EXPECT_EQ(factory.Create(), nullptr);
}

}  // namespace
