// The host's static folder, seen by a browser: each file with its type, a
// cached copy confirmed with 304, and nothing outside the folder, no listing.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/StaticFiles.h"
#include "support/HostProcess.h"
#include "support/HttpClient.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(StaticFilesTest, TypesFollowTheEnding) {
  EXPECT_EQ(host::StaticContentType("chat.js"), "text/javascript; charset=utf-8");
  EXPECT_EQ(host::StaticContentType("a/chat.CSS"), "text/css; charset=utf-8");
  EXPECT_EQ(host::StaticContentType("shot.png"), "image/png");
  EXPECT_EQ(host::StaticContentType("dir.js/README"), "application/octet-stream");
}

TEST(StaticFilesTest, ServesFilesOfTheFolderOnly) {
  TempDir site;
  site.Write("probe.so", ReadFile(PROBE_MODULE_PATH));
  site.Write("secret.txt", "not for the web");
  site.Write("static/chat.js", "console.log(1);\n");
  site.Write("static/img/dot.png", std::string("\x89PNG\r\n", 6));
  site.Write("static/.hidden", "dot file");
  site.Write("static/sub/inner.txt", "inside");
  ASSERT_EQ(symlink((site.path() + "secret.txt").c_str(), (site.path() + "static/leak.txt").c_str()), 0);
  ASSERT_EQ(symlink((site.path() + "static/sub/inner.txt").c_str(), (site.path() + "static/alias.txt").c_str()), 0);
  HostProcess host(site.path() + "probe.so");
  ASSERT_TRUE(host.ready()) << host.process().Output();

  auto first = HttpFetch(host.port(), "GET", "/webchat/static/chat.js");
  ASSERT_EQ(first.status, 200) << first.raw;
  const std::string etag = first.headers.at("etag");
  const std::string modified = first.headers.at("last-modified");

  struct Row {
    const char* method;
    std::string target;
    std::string headers;
    int status;
    const char* type;  // expected Content-Type; null: not checked
    const char* body;  // expected body; null: not checked
  };
  const Row rows[] = {
      {"GET", "/webchat/static/chat.js", "", 200, "text/javascript; charset=utf-8", "console.log(1);\n"},
      {"HEAD", "/webchat/static/chat.js", "", 200, "text/javascript; charset=utf-8", ""},
      {"GET", "/webchat/static/img/dot.png", "", 200, "image/png", nullptr},
      {"GET", "/webchat/static/alias.txt", "", 200, "text/plain; charset=utf-8", "inside"},
      {"GET", "/webchat/static/chat.js", "If-None-Match: " + etag + "\r\n", 304, nullptr, ""},
      {"GET", "/webchat/static/chat.js", "If-None-Match: \"other\", W/" + etag + "\r\n", 304, nullptr, ""},
      {"GET", "/webchat/static/chat.js", "If-None-Match: \"other\"\r\n", 200, nullptr, "console.log(1);\n"},
      {"GET", "/webchat/static/chat.js", "If-Modified-Since: " + modified + "\r\n", 304, nullptr, ""},
      {"GET", "/webchat/static/chat.js", "If-Modified-Since: Thu, 01 Jan 1998 00:00:00 GMT\r\n", 200, nullptr,
       "console.log(1);\n"},
      // If-None-Match decides over If-Modified-Since.
      {"GET", "/webchat/static/chat.js",
       "If-None-Match: \"other\"\r\nIf-Modified-Since: " + modified + "\r\n", 200, nullptr, nullptr},
      {"GET", "/webchat/static/../secret.txt", "", 404, nullptr, nullptr},
      {"GET", "/webchat/static/..%2fsecret.txt", "", 404, nullptr, nullptr},
      {"GET", "/webchat/static/%2e%2e/secret.txt", "", 404, nullptr, nullptr},
      {"GET", "/webchat/static/sub/..%5c..%5csecret.txt", "", 404, nullptr, nullptr},
      {"GET", "/webchat/static/chat.js%00.png", "", 404, nullptr, nullptr},
      {"GET", "/webchat/static/leak.txt", "", 404, nullptr, nullptr},
      {"GET", "/webchat/static/.hidden", "", 404, nullptr, nullptr},
      {"GET", "/webchat/static/", "", 404, nullptr, nullptr},
      {"GET", "/webchat/static/sub", "", 404, nullptr, nullptr},
      {"GET", "/webchat/static//chat.js", "", 404, nullptr, nullptr},
      {"GET", "/webchat/static/missing.js", "", 404, nullptr, nullptr},
      {"POST", "/webchat/static/chat.js", "", 405, nullptr, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.method) + " " + row.target + " " + row.headers);
    auto answer = HttpFetch(host.port(), row.method, row.target, "", row.headers);
    EXPECT_EQ(answer.status, row.status) << answer.raw;
    if (row.type != nullptr) {
      EXPECT_EQ(answer.headers["content-type"], row.type);
    }
    if (row.body != nullptr) {
      EXPECT_EQ(answer.body, row.body);
    }
    if (row.status == 200 || row.status == 304) {
      EXPECT_EQ(answer.headers["cache-control"], "no-cache");
      EXPECT_EQ(answer.headers["x-content-type-options"], "nosniff");
      EXPECT_FALSE(answer.headers["last-modified"].empty());
      EXPECT_FALSE(answer.headers["etag"].empty());
    }
    if (row.status == 404) {
      EXPECT_EQ(answer.body.find("not for the web"), std::string::npos);
    }
  }
  // A page loads several files: they come one after another on one connection.
  const std::string get = "GET /webchat/static/chat.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::string both = HttpExchangeRaw(host.port(), get + get, std::chrono::milliseconds(500));
  HttpResponse one, two;
  ASSERT_TRUE(ParseHttpResponse(both, one) && ParseHttpResponse(both, two)) << both;
  EXPECT_EQ(one.status, 200);
  EXPECT_EQ(two.status, 200);
  EXPECT_NE(one.headers["connection"], "close");
  // A changed file is a new version: the old validator no longer holds.
  site.Write("static/chat.js", "console.log(2); // longer\n");
  auto changed = HttpFetch(host.port(), "GET", "/webchat/static/chat.js", "", "If-None-Match: " + etag + "\r\n");
  EXPECT_EQ(changed.status, 200);
  EXPECT_EQ(changed.body, "console.log(2); // longer\n");
  EXPECT_NE(changed.headers["etag"], etag);
  // Without a not-found page in the folder, a wrong path gets the plain one.
  EXPECT_EQ(HttpFetch(host.port(), "GET", "/webchat/elsewhere").body.find("<!DOCTYPE"), std::string::npos);
  EXPECT_EQ(host.Stop(), 0);
}

// A host out of descriptors still has its files: the browser is told to come
// back, not that chat.js is gone.
TEST(StaticFilesTest, AFileThatCannotBeOpenedForWantOfDescriptorsIsNotCalledMissing) {
  TempDir site;
  site.Write("static/chat.js", "console.log(1);\n");
  const std::string folder = site.path() + "static";
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowest_free = dup(0);
  ASSERT_GE(lowest_free, 0);
  close(lowest_free);
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const host::StaticFile short_of_descriptors = host::LookUpStaticFile(folder, "chat.js", nullptr, nullptr);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(short_of_descriptors.status, 503u);
  EXPECT_EQ(short_of_descriptors.fd, -1);
  const host::StaticFile again = host::LookUpStaticFile(folder, "chat.js", nullptr, nullptr);
  EXPECT_EQ(again.status, 200u);
  if (again.fd >= 0) close(again.fd);
}

TEST(StaticFilesTest, AWrongPathGetsTheFoldersNotFoundPageWithItsStatus) {
  TempDir site;
  site.Write("probe.so", ReadFile(PROBE_MODULE_PATH));
  const std::string page = "<!DOCTYPE html><title>Page not found</title>";
  site.Write("static/not-found.html", page);
  HostProcess host(site.path() + "probe.so");
  ASSERT_TRUE(host.ready()) << host.process().Output();
  for (const char* target : {"/", "/webchat/other.so?varPhoneNumber=0301234", "/elsewhere/deep/path"}) {
    SCOPED_TRACE(target);
    auto answer = HttpFetch(host.port(), "GET", target);
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ(answer.body, page);
    EXPECT_EQ(answer.headers["content-type"], "text/html; charset=utf-8");
    EXPECT_TRUE(answer.headers["etag"].empty());  // never a 304 for it
    EXPECT_EQ(HttpFetch(host.port(), "HEAD", target).status, 404);
  }
  // Other methods, and requests with a body to come, keep the plain refusal.
  auto posted = HttpFetch(host.port(), "POST", "/elsewhere", "a=1");
  EXPECT_EQ(posted.status, 404);
  EXPECT_EQ(posted.body.find("Page not found"), std::string::npos);
  EXPECT_EQ(HttpFetch(host.port(), "GET", "/webchat/static/not-found.html").status, 200);
  EXPECT_EQ(host.Stop(), 0);
}

// A long file is noted once it has gone out: as sent when the client took it
// all, as gone (499) when the client left on the way.
TEST(StaticFilesTest, ALongFileIsNotedAsItsWriteEnded) {
  TempDir site;
  site.Write("probe.so", ReadFile(PROBE_MODULE_PATH));
  site.Write("static/big.bin", std::string(8000000, 'x'));
  HostProcess host(site.path() + "probe.so", {"--access-log", site.path() + "access.log"});
  ASSERT_TRUE(host.ready()) << host.process().Output();
  const std::string line = "\"GET /webchat/static/big.bin HTTP/1.1\"";
  EXPECT_EQ(HttpFetch(host.port(), "GET", "/webchat/static/big.bin").body.size(), 8000000u);
  EXPECT_TRUE(WaitUntil([&] { return site.Read("access.log").find(line + " 200 8000000\n") != std::string::npos; }))
      << site.Read("access.log");

  const int fd = ConnectLoopback(host.port());
  const std::string get = "GET /webchat/static/big.bin HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(send(fd, get.data(), get.size(), MSG_NOSIGNAL), static_cast<ssize_t>(get.size()));
  char some[1000];
  EXPECT_GT(recv(fd, some, sizeof some, 0), 0);
  const linger abort{1, 0};
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
  close(fd);
  EXPECT_TRUE(WaitUntil([&] { return site.Read("access.log").find(line + " 499 0\n") != std::string::npos; }))
      << site.Read("access.log");
  EXPECT_EQ(host.Stop(), 0);
}

// The page's own files are read whole when asked for: a client that does not
// read its answer holds no descriptor of the file, only its connection's, as
// the host counts them. A long file is sent from the open file.
TEST(StaticFilesTest, AClientThatDoesNotReadHoldsNoShortFileOpen) {
  TempDir site;
  site.Write("probe.so", ReadFile(PROBE_MODULE_PATH));
  site.Write("static/chat.js", std::string(24000, 'x'));
  site.Write("static/big.bin", std::string(8000000, 'x'));
  HostProcess host(site.path() + "probe.so");
  ASSERT_TRUE(host.ready()) << host.process().Output();
  const auto files_open = [&](const std::string& name) {
    int count = 0;
    const std::string folder = "/proc/" + std::to_string(host.process().pid()) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      std::error_code ignored;
      count += std::filesystem::read_symlink(entry.path(), ignored).filename() == name;
    }
    return count;
  };
  std::vector<int> clients;
  for (const char* name : {"chat.js", "big.bin"}) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 1024;  // takes little of the answers
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(host.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // Asked for again and again, more than the buffers on the way hold.
    std::string gets;
    for (int i = 0; i < 400; ++i) gets += std::string("GET /webchat/static/") + name + " HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(send(fd, gets.data(), gets.size(), MSG_NOSIGNAL), static_cast<ssize_t>(gets.size()));
    char head[100];
    ASSERT_GT(recv(fd, head, sizeof head, 0), 0) << name << " is being answered";
    clients.push_back(fd);
  }
  EXPECT_TRUE(WaitUntil([&] { return files_open("big.bin") == 1; })) << "the check sees open files";
  // Each of the pipelined answers opens the file for a moment: once the host
  // waits for the client, none is open.
  EXPECT_TRUE(WaitUntil([&] { return files_open("chat.js") == 0; }));
  for (const int fd : clients) close(fd);
  EXPECT_EQ(host.Stop(), 0);
}

}  // namespace
