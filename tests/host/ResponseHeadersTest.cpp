#include "host/ResponseHeaders.h"

#include <gtest/gtest.h>

#include <boost/beast/http/write.hpp>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host/StatusPages.h"

namespace {

// The head as the HTTP library writes it for the same answer: what clients
// got before the host wrote heads by hand.
std::string LibraryHead(unsigned status, const std::vector<std::pair<std::string, std::string>>& headers,
                        bool has_body, std::size_t length, bool closing) {
  namespace http = boost::beast::http;
  host::StringResponse response;
  host::SetStatus(response, status);
  bool has_type = false;
  for (const auto& [name, value] : headers) {
    has_type = has_type || name == "Content-Type" || name == "content-type";
    response.insert(name, value);
  }
  if (!has_type && has_body) response.set(http::field::content_type, "text/html");
  if (status != 204 && status != 304 && status >= 200) response.content_length(length);
  response.keep_alive(!closing);
  std::ostringstream out;
  out << response.base();
  return out.str();
}

TEST(ResponseHeadersTest, AnswerHeadsAreTheLibrarysKeepingModuleHeadersButNotTheServersOwn) {
  const std::string mixed =
      "Content-Type: text/plain\r\ncontent-length: 99\r\nX-A:  spaced  \r\nbroken line\r\n"
      "Connection: close\nTransfer-Encoding: chunked\r\n: no name\r\nBad Name: x\r\nSet-Cookie: a=b\r\n";
  const std::vector<std::pair<std::string, std::string>> kept = {
      {"Content-Type", "text/plain"}, {"X-A", "spaced"}, {"Set-Cookie", "a=b"}};
  const struct {
    unsigned status;
    std::string module_headers;
    std::vector<std::pair<std::string, std::string>> kept;
    bool has_body;
    std::size_t length;
    bool closing;
  } rows[] = {
      {200, mixed, kept, true, 62, false},
      {200, mixed, kept, true, 62, true},
      {200, "Cache-Control: no-cache\r\n", {{"Cache-Control", "no-cache"}}, true, 1234567, false},
      {200, "", {}, false, 0, false},
      {200, "content-type: text/xml\n", {{"content-type", "text/xml"}}, true, 5, false},
      {404, "", {}, true, 10, true},
      {204, "", {}, false, 0, false},
      {304, "X-B: 1\r\n", {{"X-B", "1"}}, false, 0, true},
      {101, "", {}, false, 0, false},
      {299, "", {}, true, 3, false},
      {599, "", {}, true, 3, false},
      {500, "", {}, false, 0, true},
  };
  for (const auto& row : rows) {
    std::string head = "left as it was|";
    host::AppendAnswerHead(head, row.status, row.module_headers, row.has_body, row.length, row.closing);
    EXPECT_EQ(head, "left as it was|" + LibraryHead(row.status, row.kept, row.has_body, row.length, row.closing))
        << "status " << row.status << ", headers " << row.module_headers;
  }
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
