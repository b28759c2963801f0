#include "isapi/HttpServer.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

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

// What the frame answers for a handler's result or a request it refuses: the
// status, and its standard page instead of whatever the handler wrote. The
// frame knows no extension's own codes: those are mapped before it sees them.
TEST(HttpServerTest, ResultsAndRefusalsBecomeStatusesWithTheirPage) {
  struct Row {
    const char* what;
    std::function<FakeRequest()> request;
    int result;
    std::uint32_t status;
    const char* page;
  };
  const auto get = [] { return FakeRequest::Get("a=1"); };
  const std::vector<Row> rows = {
      {"bad parameter 1", get, 1, 400, "400 Bad Request"},
      {"bad parameter 2", get, 2, 400, "400 Bad Request"},
      {"bad parameter 8", get, 8, 400, "400 Bad Request"},
      {"no such command", get, 3, 501, "501 Not Implemented"},
      {"handler threw", get, kCallUnexpectedException, 500, "500 Internal Server Error"},
      {"unknown result", get, 7, 500, "500 Internal Server Error"},
      {"an extension's own code", get, 1000, 500, "500 Internal Server Error"},
      {"method other than GET and POST", [] { return FakeRequest::WithMethod("PUT", "a=1"); }, 0, 405,
       "405 Method Not Allowed"},
      {"body of unknown length", [] { return FakeRequest::Post("a=1").UnknownLength(); }, 0, 413,
       "413 Payload Too Large"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScriptedFrame frame;
    frame.call = [&row](CHttpServerContext* ctx, std::string_view, std::string_view) {
      *ctx << "half a page";
      return row.result;
    };
    auto request = row.request();
    EXPECT_EQ(frame.HttpExtensionProc(request.ecb()), static_cast<std::uint32_t>(QX_STATUS_ERROR));
    EXPECT_EQ(request.status(), row.status);
    EXPECT_NE(request.body().find(row.page), std::string::npos) << request.body();
    EXPECT_EQ(request.body().find("half a page"), std::string::npos);
  }
}

}  // namespace
