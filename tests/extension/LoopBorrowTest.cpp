// A borrow on a request's event loop when the pool is at its maximum: the
// connection given back at the moment the borrower arms its wait must reach
// it, and a borrower that is done must leave no wait that could call it back.
// The loop is a stand-in that keeps the one armed wait and runs it on demand,
// as the host's loop would when its deadline or readiness comes.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "backend/BackendClient.h"
#include "extension/LoopBorrow.h"
#include "isapi/ControlBlock.h"
#include "isapi/httpext.h"
#include "platform/WaitLimit.h"

namespace {

// An opened socket that no back end has closed.
class OpenSocket : public TRSocket {
 public:
  OpenSocket() { (void)Create(0, 1, nullptr); }
  bool PeerClosed() const override { return false; }
};

class OpenSocketFactory : public Generic::FactoryInterface<TRSocket> {
 public:
  std::unique_ptr<TRSocket> Create() override { return std::make_unique<OpenSocket>(); }
  void Destroy(std::unique_ptr<TRSocket>) override {}
};

// The request's one wait, as the host keeps it: each arm replaces the last.
struct StandInLoop {
  QX_LOOP_CALLBACK callback = nullptr;
  void* context = nullptr;
  // Runs once inside the next arm, before it takes effect: what another
  // thread does at that moment.
  std::function<void()> during_next_arm;

  // Runs the armed waits as their deadlines pass, until none is left.
  void RunDue() {
    for (int turn = 0; turn < 10 && callback != nullptr; ++turn) {
      const auto run = std::exchange(callback, nullptr);
      run(std::exchange(context, nullptr), QX_LOOP_DEADLINE);
    }
  }
};

StandInLoop* g_loop = nullptr;

int Wait(QX_HCONN, int32_t, uint32_t, int64_t, QX_LOOP_CALLBACK callback, void* context) {
  if (auto during = std::exchange(g_loop->during_next_arm, nullptr)) during();
  g_loop->callback = callback;
  g_loop->context = context;
  return 1;
}

int Cancel(QX_HCONN) {
  g_loop->callback = nullptr;
  g_loop->context = nullptr;
  return 1;
}

int ServerSupport(QX_HCONN, uint32_t request, void* buffer, uint32_t*, void*) {
  if (request != QX_REQ_GET_EVENT_LOOP) return 0;
  auto* service = static_cast<QX_EVENT_LOOP_SERVICE*>(buffer);
  service->Wait = &Wait;
  service->Cancel = &Cancel;
  return 1;
}

TEST(LoopBorrowTest, AConnectionGivenBackAsTheBorrowerArmsItsWaitReachesIt) {
  platform::LiftWaitLimit();
  StandInLoop loop;
  g_loop = &loop;
  isapi::ControlBlock ecb{};
  ecb.ServerSupportFunction = &ServerSupport;
  const std::optional<RequestLoop> request_loop = RequestLoop::Offered(&ecb);
  ASSERT_TRUE(request_loop);
  auto pool = std::make_shared<LoopBorrow::Pool>(std::make_shared<OpenSocketFactory>(), Generic::PoolOptions{0, 1});

  std::string held;
  bool seen_open = false;
  std::optional<LoopBorrow::Connection> first =
      LoopBorrow::Start(pool, false, *request_loop, [] { return LoopBorrow::Ready(); }, held, seen_open);
  ASSERT_TRUE(first && *first) << "the only connection, made at once";

  // The second borrower finds the pool at its maximum; the first gives its
  // connection back while the second is arming its wait.
  std::optional<LoopBorrow::Connection> delivered;
  loop.during_next_arm = [&first] { (void)first->Release(); };
  std::optional<LoopBorrow::Connection> second = LoopBorrow::Start(
      pool, false, *request_loop,
      [&delivered] {
        return [&delivered](LoopBorrow::Connection connection, bool, std::string, bool) {
          delivered = std::move(connection);
        };
      },
      held, seen_open);
  if (second) {
    EXPECT_TRUE(*second);
    EXPECT_EQ(loop.callback, nullptr) << "a borrower that is done left a wait armed";
  } else {
    loop.RunDue();
    ASSERT_TRUE(delivered) << "the connection given back never reached the waiting borrower";
    EXPECT_TRUE(*delivered);
  }
  g_loop = nullptr;
}

}  // namespace
