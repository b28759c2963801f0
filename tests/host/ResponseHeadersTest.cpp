#include "host/ResponseHeaders.h"

#include <gtest/gtest.h>

namespace {

TEST(ResponseHeadersTest, KeepsModuleHeadersButNotTheServersOwn) {
  const auto headers = host::ParseModuleHeaders(
      "Content-Type: text/plain\r\ncontent-length: 99\r\nX-A:  spaced  \r\nbroken line\r\n"
      "Connection: close\nTransfer-Encoding: chunked\r\n: no name\r\nSet-Cookie: a=b\r\n");
  ASSERT_EQ(headers.size(), 3u);
  EXPECT_EQ(headers[0].name, "Content-Type");
  EXPECT_EQ(headers[0].value, "text/plain");
  EXPECT_EQ(headers[1].name, "X-A");
  EXPECT_EQ(headers[1].value, "spaced");
  EXPECT_EQ(headers[2].name, "Set-Cookie");
}

TEST(ResponseHeadersTest, StatusLines) {
  EXPECT_EQ(host::ParseStatusLine("404 Not Found", 200), 404u);
  EXPECT_EQ(host::ParseStatusLine("200", 500), 200u);
  EXPECT_EQ(host::ParseStatusLine("OK", 201), 201u);
  EXPECT_EQ(host::ParseStatusLine("20 short", 201), 201u);
  EXPECT_EQ(host::ParseStatusLine("2000 long", 201), 201u);
  EXPECT_EQ(host::ParseStatusLine("099 low", 201), 201u);
}

}  // namespace
