// Whatever a client sends gets an answer: never a crash, a hang or memory
// that grows with the input beyond one copy of it.
#include <gtest/gtest.h>

#include <random>

#include "support/ExtensionFixture.h"
#include "support/SimProcess.h"

namespace {

class BadInputTest : public SimExtensionFixture<> {
 protected:
  void SetUp() override {
    SimExtensionFixture::SetUp();
    Start(sim_.IniSettings());
  }

  std::uint32_t Answer(FakeRequest& request) { return extension_->HttpExtensionProc(request.ecb()); }
};

TEST_F(BadInputTest, OddQueryTextsAreAnswered) {
  std::mt19937 random(7);
  std::string binary(4096, '\0');
  for (auto& c : binary) c = static_cast<char>(random());
  const std::vector<std::string> queries = {
      binary,
      "no equals sign at all",
      std::string(100000, '&'),
      "varUserRequest=REQ_HANG_UP&varSessionID=%",
      "varUserRequest=REQ_JS_START%",
      "varUserRequest=REQ_JS_START&" + std::string(100000, '&'),
      std::string("varUserRequest=REQ_STAT_PAGE\0&varPageName=x", 43),
      "=&=&=%%%%",
  };
  for (const auto& query : queries) {
    auto request = FakeRequest::Post(query);
    const auto status = Answer(request);
    if (status == QX_STATUS_PENDING) ASSERT_TRUE(request.WaitDone(20000)) << query.substr(0, 40);
    else EXPECT_EQ(status, static_cast<std::uint32_t>(QX_STATUS_SUCCESS)) << query.substr(0, 40);
    EXPECT_EQ(request.status(), 200u);
  }
}

TEST_F(BadInputTest, LargeBodiesAreReadInPiecesOrRefused) {
  auto megabyte = FakeRequest::Post("varUserRequest=REQ_HANG_UP&varSessionID=" + std::string(1 << 20, 'a'));
  megabyte.Preloaded(48 * 1024);
  EXPECT_EQ(Answer(megabyte), static_cast<std::uint32_t>(QX_STATUS_SUCCESS)) << "too long to send: error page";
  EXPECT_EQ(megabyte.status(), 200u);

  auto too_large = FakeRequest::Post(std::string(CHttpServer::kMaxRequestBody + 1, 'a'));
  EXPECT_EQ(Answer(too_large), static_cast<std::uint32_t>(QX_STATUS_ERROR));
  EXPECT_EQ(too_large.status(), 413u);
}

TEST_F(BadInputTest, PostWithoutKnownLengthIs413) {
  auto request = FakeRequest::Post("varUserRequest=REQ_HANG_UP");
  request.UnknownLength();
  EXPECT_EQ(Answer(request), static_cast<std::uint32_t>(QX_STATUS_ERROR));
  EXPECT_EQ(request.status(), 413u);
}

TEST_F(BadInputTest, OtherMethodsAreRefused) {
  auto request = FakeRequest::WithMethod("PUT", "varUserRequest=REQ_HANG_UP");
  EXPECT_EQ(Answer(request), static_cast<std::uint32_t>(QX_STATUS_ERROR));
  EXPECT_EQ(request.status(), 405u);
}

TEST_F(BadInputTest, ManyEmptyPiecesDoNotFloodTheDiagnostics) {
  auto request = FakeRequest::Post("varUserRequest=REQ_JS_START&" + std::string(200000, '&'));
  EXPECT_EQ(Answer(request), static_cast<std::uint32_t>(QX_STATUS_SUCCESS));
  EXPECT_LE(diag::CurrentDiagList()->Count(), diag::DiagList::kHardLimit);
}

}  // namespace
