#include "isapi/HttpServer.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/FakeControlBlock.h"

namespace {

// A frame whose CallFunction is whatever the test says.
class ScriptedFrame : public CHttpServer {
 public:
  std::function<int(CHttpServerContext*, std::string_view, std::string_view)> call;
  bool give_stream = true;

  int CallFunction(CHttpServerContext* ctx, std::string_view query, std::string_view command) override {
    if (give_stream) ctx->m_pStream = ConstructStream();
    return call(ctx, query, command);
  }
};

TEST(HttpServerTest, SendsHeadersThenABlankLineThenTheBody) {
  ScriptedFrame frame;
  frame.call = [](CHttpServerContext* ctx, std::string_view, std::string_view) {
    *ctx << "<p>body</p>";
    ctx->AddHeader("Cache-Control: no-store\r\n");
    ctx->AddHeader("X-Test: 1\r\n");
    return 0;
  };
  auto request = FakeRequest::Get("a=1");
  EXPECT_EQ(frame.HttpExtensionProc(request.ecb()), static_cast<std::uint32_t>(QX_STATUS_SUCCESS));
  EXPECT_EQ(request.statusLine(), "200 OK");
  EXPECT_EQ(request.headers(), "Cache-Control: no-store\r\nX-Test: 1\r\n");
  EXPECT_EQ(request.body(), "\r\n<p>body</p>");
}

TEST(HttpServerTest, WithoutHeadersOnlyTheBodyIsWritten) {
  ScriptedFrame frame;
  frame.call = [](CHttpServerContext* ctx, std::string_view query, std::string_view command) {
    *ctx << "q=" << query << " c=" << command;
    return 0;
  };
  auto request = FakeRequest::Get("x=1 \r\n");
  frame.HttpExtensionProc(request.ecb());
  EXPECT_EQ(request.statusLine(), "") << "no header request without headers";
  EXPECT_EQ(request.body(), "q=x=1 c=");
  EXPECT_EQ(request.status(), 200u);
}

TEST(HttpServerTest, HandlerStatusIsKeptAndErrorsReplaceThePage) {
  ScriptedFrame frame;
  frame.call = [](CHttpServerContext* ctx, std::string_view, std::string_view) {
    ctx->m_pECB->dwHttpStatusCode = 404;
    *ctx << "missing";
    return 0;
  };
  auto kept = FakeRequest::Get("");
  frame.HttpExtensionProc(kept.ecb());
  EXPECT_EQ(kept.status(), 404u);
  EXPECT_EQ(kept.body(), "missing");

  frame.call = [](CHttpServerContext* ctx, std::string_view, std::string_view) {
    *ctx << "half a page";
    return 3;
  };
  auto failed = FakeRequest::Get("");
  EXPECT_EQ(frame.HttpExtensionProc(failed.ecb()), static_cast<std::uint32_t>(QX_STATUS_ERROR));
  EXPECT_EQ(failed.status(), 501u);
  EXPECT_EQ(failed.body().find("half a page"), std::string::npos);
  EXPECT_NE(failed.body().find("501 Not Implemented"), std::string::npos);
}

TEST(HttpServerTest, NoStreamAnswers204WithoutBody) {
  ScriptedFrame frame;
  frame.give_stream = false;
  frame.call = [](CHttpServerContext*, std::string_view, std::string_view) { return kCallNoStream; };
  auto request = FakeRequest::Get("");
  frame.HttpExtensionProc(request.ecb());
  EXPECT_EQ(request.status(), 204u);
  EXPECT_EQ(request.body(), "");
}

TEST(HttpServerTest, WritingWithoutAStreamThrowsForTheCallerToCatch) {
  CHttpServerContext ctx(nullptr);
  EXPECT_THROW(ctx << "text", std::invalid_argument);
}

TEST(HttpServerTest, StatusesForResults) {
  EXPECT_EQ(HttpStatusForResult(1000), 200u);
  EXPECT_EQ(HttpStatusForResult(7), 500u);
  EXPECT_EQ(StatusLine(413), "413 Payload Too Large");
}

}  // namespace
