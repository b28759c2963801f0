// Exchanges over connections that cannot serve one, without a back end: the
// pool's factory hands out sockets that misbehave in a set way.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "backend/BackendClient.h"

namespace {

// Reports success for half of what it was given, as a socket layer may when
// its wait for the peer runs out; the peer then hangs up, so that an exchange
// that goes on to wait for the answer sees the close at once.
class HalfSendSocket : public TRSocket {
 public:
  HalfSendSocket() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
      handle_ = ends[0];
      peer_ = ends[1];
    }
  }
  ~HalfSendSocket() override { ClosePeer(); }
  int Send(const char*, std::size_t length, std::size_t& sent, int, int) override {
    sent = length / 2;
    ClosePeer();
    return 0;
  }

 private:
  void ClosePeer() {
    if (peer_ >= 0) close(peer_);
    peer_ = -1;
  }
  int peer_ = -1;
};

class MisbehavingFactory : public Generic::FactoryInterface<TRSocket> {
 public:
  enum class Kind { kClosed, kHalfSend };
  explicit MisbehavingFactory(Kind kind) : kind_(kind) {}
  std::unique_ptr<TRSocket> Create() override {
    // A socket never opened is what the back end's close leaves: IsClosed.
    if (kind_ == Kind::kClosed) return std::make_unique<TRSocket>();
    return std::make_unique<HalfSendSocket>();
  }
  void Destroy(std::unique_ptr<TRSocket>) override {}

 private:
  const Kind kind_;
};

TEST(ExchangeFaultTest, ConnectionsThatCannotServeGoBackAsFailedAndTheRequestFailsSoon) {
  constexpr int kPoolSize = 4;
  struct Case {
    const char* name;
    MisbehavingFactory::Kind kind;
    const char* error;
    int borrowed;
  };
  for (const Case& c : {
           // Closed idle connections are skipped, but a back end that closes
           // every new one too must not hold the request forever.
           Case{"every connection closed", MisbehavingFactory::Kind::kClosed, "1002", kPoolSize + 3},
           // The back end waits for the rest of the request: no answer comes.
           Case{"half the request sent", MisbehavingFactory::Kind::kHalfSend, "1003", 1},
       }) {
    SCOPED_TRACE(c.name);
    BackendClient client("1.0", 0);
    client.StartPlainPool({"127.0.0.1", 1, 2, kPoolSize}, std::make_shared<MisbehavingFactory>(c.kind));
    std::string reply;
    EXPECT_FALSE(client.Communicate(std::string(100, 'r'), reply, reply, nullptr, false));
    EXPECT_EQ(reply, c.error);
    const PoolStatisticsBlock stats = client.PoolFor(false)->GetStats();
    EXPECT_EQ(stats.retrieved, c.borrowed);
    EXPECT_EQ(stats.returnedBroken, c.borrowed);
    EXPECT_EQ(stats.returned, 0);
  }
}

}  // namespace
