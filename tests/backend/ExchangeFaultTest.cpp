// Exchanges over connections that cannot serve one, without a back end: the
// pool's factory hands out sockets that misbehave in a set way.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>

#include "backend/BackendClient.h"
#include "platform/WaitLimit.h"

namespace {

// A connection that misbehaves in a set way once the request goes out, and
// says how long the exchange was prepared to wait for it.
class ScriptedSocket : public TRSocket {
 public:
  enum class Kind { kHalfSend, kSendFails, kReceiveFails, kReceiveWaitsOut, kPeerCloses };
  struct Waits {
    int send = -1;     // seconds Send was given
    int receive = -1;  // seconds the first Receive was given
  };
  ScriptedSocket(Kind kind, Waits& waits) : kind_(kind), waits_(waits) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
      handle_ = ends[0];
      peer_ = ends[1];
    }
  }
  ~ScriptedSocket() override { ClosePeer(); }
  int Send(const char*, std::size_t length, std::size_t& sent, int timeout_s, int) override {
    waits_.send = timeout_s;
    if (kind_ == Kind::kSendFails) return EPIPE;
    // A socket layer whose wait ran out may report half as sent; the peer
    // then hangs up, so a wait for the answer would see the close at once.
    sent = kind_ == Kind::kHalfSend ? length / 2 : length;
    if (kind_ == Kind::kHalfSend) ClosePeer();
    return 0;
  }
  int Receive(char*, std::size_t, std::size_t& received, bool& timed_out, int timeout_s, int, bool) override {
    if (waits_.receive < 0) waits_.receive = timeout_s;
    received = 0;
    timed_out = kind_ == Kind::kReceiveWaitsOut;
    return kind_ == Kind::kReceiveFails ? ECONNRESET : 0;
  }

 private:
  void ClosePeer() {
    if (peer_ >= 0) close(peer_);
    peer_ = -1;
  }
  const Kind kind_;
  Waits& waits_;
  int peer_ = -1;
};

class MisbehavingFactory : public Generic::FactoryInterface<TRSocket> {
 public:
  // kClosed: every connection is one the back end closed.
  MisbehavingFactory(std::optional<ScriptedSocket::Kind> kind, ScriptedSocket::Waits& waits)
      : kind_(kind), waits_(waits) {}
  std::unique_ptr<TRSocket> Create() override {
    // A socket never opened is what the back end's close leaves: IsClosed.
    if (!kind_) return std::make_unique<TRSocket>();
    return std::make_unique<ScriptedSocket>(*kind_, waits_);
  }
  void Destroy(std::unique_ptr<TRSocket>) override {}

 private:
  const std::optional<ScriptedSocket::Kind> kind_;
  ScriptedSocket::Waits& waits_;
};

// What a visitor's page or a voice application is shown when the back end
// fails in each way, and how long the exchange was prepared to wait: an
// operator's figures (README) and the codes peers act on.
TEST(ExchangeFaultTest, ConnectionsThatCannotServeGoBackAsFailedAndTheRequestFailsSoon) {
  // The client stands for a module that has started: a stop earlier in this
  // process (an extension another test ended) must not cut its waits short.
  platform::LiftWaitLimit();
  constexpr int kPoolSize = 4;
  using Kind = ScriptedSocket::Kind;
  struct Case {
    const char* name;
    std::optional<Kind> kind;
    const char* error;
    int borrowed;
    int sendWait;
    int receiveWait;
  };
  for (const Case& c : {
           // Closed idle connections are skipped, but a back end that closes
           // every new one too must not hold the request forever.
           Case{"every connection closed", std::nullopt, "1002", kPoolSize + 3, -1, -1},
           // The back end waits for the rest of the request: no answer comes.
           Case{"half the request sent", Kind::kHalfSend, "1003", 1, 90, -1},
           Case{"send fails", Kind::kSendFails, "1003", 1, 90, -1},
           Case{"receive fails", Kind::kReceiveFails, "1003", 1, 90, 50},
           Case{"no answer within the wait", Kind::kReceiveWaitsOut, "Socket Timeout - Protocol Error!", 1, 90, 50},
           Case{"back end hangs up", Kind::kPeerCloses, "0 bytes received - Socket closed - Protocol Error!", 1, 90,
                50},
       }) {
    SCOPED_TRACE(c.name);
    ScriptedSocket::Waits waits;
    BackendClient client("1.0", 0);
    client.StartPlainPool({"127.0.0.1", 1, 2, kPoolSize}, std::make_shared<MisbehavingFactory>(c.kind, waits));
    std::string reply;
    EXPECT_FALSE(client.Communicate(std::string(100, 'r'), reply, reply, nullptr, false));
    EXPECT_EQ(reply, c.error);
    EXPECT_EQ(waits.send, c.sendWait);
    EXPECT_EQ(waits.receive, c.receiveWait);
    const PoolStatisticsBlock stats = client.PoolFor(false)->GetStats();
    EXPECT_EQ(stats.retrieved, c.borrowed);
    EXPECT_EQ(stats.returnedBroken, c.borrowed);
    EXPECT_EQ(stats.returned, 0);
  }
}

}  // namespace
