// Pending requests answered by the worker thread, with a response handler
// scripted by the test.
#include <gtest/gtest.h>

#include "backend/Message.h"
#include "support/ExtensionFixture.h"
#include "support/SimProcess.h"
#include "support/WaitUntil.h"

namespace {

class ScriptedWorkerExtension : public CRAVOExtension {
 public:
  using CRAVOExtension::CRAVOExtension;
  std::function<std::optional<int>(bool ok, CHttpServerContext*, const std::string& response,
                                   const std::string& error)>
      handler;

 protected:
  std::optional<int> RunResponseHandler(int, bool ok, CHttpServerContext* ctx, AsyncRequestInfo*,
                                        const std::string& response, const std::string& error) override {
    return handler(ok, ctx, response, error);
  }
};

// Sends a heartbeat as a pending request that the worker answers into request.
void StartPendingHeartbeat(CRAVOExtension& extension, FakeRequest& request) {
  MessageBody body;
  AppendMessageField(body, "h");
  std::string message;
  auto info = std::make_unique<AsyncRequestInfo>();
  ASSERT_TRUE(extension.BuildVEKACSMessage(message, 1000, 1, body, info->requestId));
  info->type = 1000;
  info->ecb = request.ecb();
  std::string error;
  ASSERT_TRUE(extension.CommunicateWithVEKACS(message, error, error, &info, false)) << error;
  EXPECT_EQ(info, nullptr) << "the worker owns the record";
}

class WorkerTest : public SimExtensionFixture<ScriptedWorkerExtension> {
 protected:
  void SetUp() override {
    SimExtensionFixture::SetUp();
    Start(sim_.IniSettings());
  }
  void SendPending(FakeRequest& request) {
    StartPendingHeartbeat(*extension_, request);
    ASSERT_TRUE(request.WaitDone(10000));
  }
};

TEST_F(WorkerTest, HandlerPageIsSentAndTheSessionClosedOnce) {
  extension_->handler = [](bool ok, CHttpServerContext* ctx, const std::string& response, const std::string&) {
    std::string code;
    ExtractParmFromVEKACSMessage(response, 0, code);
    *ctx << "ok=" << (ok ? "1" : "0") << " code=" << code;
    return 0;
  };
  auto request = FakeRequest::Get("");
  SendPending(request);
  EXPECT_EQ(request.status(), 200u);
  EXPECT_EQ(request.body(), "ok=1 code=0");
  EXPECT_EQ(request.statusLine(), "") << "no headers: body only";
  EXPECT_EQ(request.doneCount(), 1);
  PoolStatisticsBlock stats;
  extension_->CopyPoolStatistics(false, &stats);
  EXPECT_EQ(stats.returned, 1) << "the worker gave the connection back";
}

TEST_F(WorkerTest, HeadersAreSplitFromTheBody) {
  extension_->handler = [](bool, CHttpServerContext* ctx, const std::string&, const std::string&) {
    *ctx << "page";
    ctx->AddHeader("Cache-Control: no-store\r\n");
    return 0;
  };
  auto request = FakeRequest::Get("");
  SendPending(request);
  EXPECT_EQ(request.statusLine(), "200 OK");
  EXPECT_EQ(request.headers(), "Cache-Control: no-store\r\n");
  EXPECT_EQ(request.body(), "\r\npage");
}

TEST_F(WorkerTest, CompletionCodesMapToStatuses) {
  for (const auto& [code, status] : std::vector<std::pair<int, std::uint32_t>>{
           {3, 501}, {1, 400}, {8, 400}, {6, 500}, {5, 204}, {-4, 500}, {2000, 500}}) {
    extension_->handler = [code = code](bool, CHttpServerContext*, const std::string&, const std::string&) {
      return code;
    };
    auto request = FakeRequest::Get("");
    SendPending(request);
    EXPECT_EQ(request.status(), status) << code;
  }
}

TEST_F(WorkerTest, UnknownTypeAnswersAnEmpty200) {
  extension_->handler = [](bool, CHttpServerContext*, const std::string&, const std::string&) {
    return std::optional<int>();
  };
  auto request = FakeRequest::Get("");
  SendPending(request);
  EXPECT_EQ(request.status(), 200u);
  EXPECT_EQ(request.body(), "");
}

TEST_F(WorkerTest, ExchangeFailureReachesTheHandlerWithTheErrorText) {
  std::string seen;
  extension_->handler = [&seen](bool ok, CHttpServerContext* ctx, const std::string& response,
                                const std::string& error) {
    seen = (ok ? "ok:" : "failed:") + error + "|" + response;
    *ctx << "error page";
    return 0;
  };
  ASSERT_EQ(sim_.Control("fault close"), "");
  auto request = FakeRequest::Get("");
  SendPending(request);
  EXPECT_EQ(seen, "failed:0 bytes received - Socket closed - Protocol Error!|");
  EXPECT_EQ(request.body(), "error page");
  PoolStatisticsBlock stats;
  extension_->CopyPoolStatistics(false, &stats);
  EXPECT_EQ(stats.returnedBroken, 1);
}

TEST_F(WorkerTest, PendingCodeKeepsTheSessionOpen) {
  extension_->handler = [](bool, CHttpServerContext* ctx, const std::string&, const std::string&) {
    *ctx << "partial";
    return CRAVOExtension::kPendingResult;
  };
  auto request = FakeRequest::Get("");
  StartPendingHeartbeat(*extension_, request);
  ASSERT_TRUE(WaitUntil([&] { return !request.body().empty(); }));
  EXPECT_EQ(request.body(), "partial");
  EXPECT_FALSE(request.WaitDone(300));
}

// The extension itself, not a subclass: a pending response handler may run
// while it is being destroyed, and only its own type is whole then.
using UnloadTest = SimExtensionFixture<CRAVOExtension>;

TEST_F(UnloadTest, ConnectionLentToAWorkerAtUnloadIsAnsweredGivenBackAndClosed) {
  diag_timing_.stopLimit = std::chrono::milliseconds(200);
  Start(sim_.IniSettings(1, 1));
  ASSERT_TRUE(WaitUntil([&] { return sim_.OpenConnections() == 1; }));
  ASSERT_EQ(sim_.Control("fault delay 300 1"), "");
  auto request = FakeRequest::Get("");
  StartPendingHeartbeat(*extension_, request);
  extension_.reset();  // unloaded without a stop, the worker still waiting for the back end
  EXPECT_TRUE(request.WaitDone(10000)) << "the pending request was answered";
  EXPECT_TRUE(WaitUntil([&] { return sim_.OpenConnections() == 0; }))
      << "the connection came back to its pool, which closed it when the last lease ended";
}

}  // namespace
