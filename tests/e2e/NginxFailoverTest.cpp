// The deployment as shipped: nginx with deploy/nginx/quorvix.conf in front of
// two quorvix-host processes and one back end. Chats live in the back end, so
// when one host dies every chat goes on through the other, with no line lost
// or doubled; the heartbeat stays with the monitoring address, and the logs
// keep no visitor's words.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/CountOccurrences.h"
#include "support/HostProcess.h"
#include "support/HttpClient.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"
#include "support/UrlEncode.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

constexpr int kChats = 20;

unsigned short FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  unsigned short port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// nginx from the PATH (Debian puts it in /usr/sbin).
std::string NginxPath() {
  const char* path = std::getenv("PATH");
  std::string folders = std::string(path != nullptr ? path : "") + ":/usr/sbin:/usr/local/sbin";
  for (std::size_t start = 0, end; start < folders.size(); start = end + 1) {
    end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string candidate = folders.substr(start, end - start) + "/nginx";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "nginx";
}

// nginx, run in the foreground as this test's child, with the shipped
// configuration and this installation's values put in its "site:" lines.
class Nginx {
 public:
  Nginx(const TempDir& dir, const std::string& site, unsigned short host_a, unsigned short host_b) {
    std::ifstream in(std::string(QUORVIX_SOURCE_DIR) + "deploy/nginx/quorvix.conf");
    std::stringstream shipped;
    shipped << in.rdbuf();
    std::string conf = shipped.str();
    for (int attempt = 0; attempt < 3 && port_ == 0; ++attempt) {
      const unsigned short port = FreeLoopbackPort();
      std::string ours = conf;
      replaced_ = Replace(ours, "server 127.0.0.1:8081 ", "server 127.0.0.1:" + std::to_string(host_a) + " ") &&
                  Replace(ours, "server 127.0.0.1:8082 ", "server 127.0.0.1:" + std::to_string(host_b) + " ") &&
                  Replace(ours, "    127.0.0.1 1;", "    127.0.0.2 1;") &&
                  Replace(ours, "listen 80;", "listen 127.0.0.1:" + std::to_string(port) + ";") &&
                  Replace(ours, "/var/log/nginx/quorvix-access.log", dir.path() + "access.log") &&
                  Replace(ours, "/srv/quorvix/site/static/", site + "static/");
      if (!replaced_) return;
      dir.Write("quorvix.conf", ours);
      const std::string& d = dir.path();
      dir.Write("nginx.conf", std::string(geteuid() == 0 ? "user root;\n" : "") + "daemon off;\nworker_processes 1;\n" +
                                  "pid " + d + "nginx.pid;\nerror_log " + d + "error.log;\nevents {}\nhttp {\n" +
                                  "  client_body_temp_path " + d + "body;\n  proxy_temp_path " + d + "proxy;\n" +
                                  "  fastcgi_temp_path " + d + "fastcgi;\n  uwsgi_temp_path " + d + "uwsgi;\n" +
                                  "  scgi_temp_path " + d + "scgi;\n  include " + d + "quorvix.conf;\n}\n");
      process_ = std::make_unique<ChildProcess>(
          std::vector<std::string>{NginxPath(), "-p", d, "-e", d + "error.log", "-c", d + "nginx.conf"});
      // Up when it answers a path outside the application itself.
      if (WaitUntil([&] { return HttpFetch(port, "GET", "/", {}, {}, 1s).status == 404; }, 10s)) {
        port_ = port;
      } else {
        output_ = process_->Output();
        process_->Stop(SIGTERM, 10s);
      }
    }
  }
  ~Nginx() {
    if (process_) process_->Stop(SIGTERM, 10s);
  }
  bool replaced() const { return replaced_; }
  unsigned short port() const { return port_; }
  const std::string& output() const { return output_; }

 private:
  static bool Replace(std::string& text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at == std::string::npos) return false;
    text.replace(at, from.size(), to);
    return true;
  }
  bool replaced_ = false;
  unsigned short port_ = 0;
  std::string output_;  // of a start that failed
  std::unique_ptr<ChildProcess> process_;
};

// One request from a loopback address of our choosing.
HttpResponse FetchFrom(const char* from, unsigned short port, const std::string& method, const std::string& target,
                       const std::string& body = {}) {
  const int fd = ConnectLoopback(port, from);
  if (fd < 0) return {};
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (method == "POST") {
    request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n";
  }
  request += "\r\n" + body;
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string raw;
  char buffer[8192];
  for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) raw.append(buffer, static_cast<std::size_t>(got));
  close(fd);
  HttpResponse response;
  ParseHttpResponse(raw, response);
  return response;
}

TEST(NginxFailoverTest, ChatsGoOnThroughTheOtherHostWithNoLineLostOrDoubled) {
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  TempDir site;
  sim.InstallSite(QUORVIX_SITE_DIR, site.path());
  // As the units run them: nginx is the trusted proxy, 127.0.0.2 the monitoring.
  const std::vector<std::string> options = {"--trusted-proxy", "127.0.0.1", "--heartbeat-from", "127.0.0.2"};
  auto host_a = HostProcess::ForSite(site.path(), options);
  auto host_b = HostProcess::ForSite(site.path(), options);
  ASSERT_TRUE(host_a->ready() && host_b->ready());
  TempDir nginx_dir;
  Nginx nginx(nginx_dir, site.path(), host_a->port(), host_b->port());
  ASSERT_TRUE(nginx.replaced()) << "deploy/nginx/quorvix.conf no longer has the lines this test sets";
  ASSERT_NE(nginx.port(), 0) << nginx.output() << nginx_dir.Read("error.log");
  const std::string app = host_a->path();

  auto post = [&](const std::string& body) { return HttpFetch(nginx.port(), "POST", app, body); };
  auto poll = [&](const std::string& session) {
    return HttpFetch(nginx.port(), "GET", app + "?varUserRequest=REQ_DELTA_CHAT&varSessionID=" + UrlEncode(session) +
                                          "&varIndexKey=0&varUserLanguage=en");
  };
  auto line = [](int chat, int number) {
    return "line " + std::to_string(number) + " of visitor " + std::to_string(chat) + " 030-1234567";
  };
  auto say = [&](const std::string& session, const std::string& text) {
    const auto answer = post("varUserRequest=REQ_ADD_TO_CHAT&varSessionID=" + UrlEncode(session) +
                             "&varChatData=" + UrlEncode(text) + "&varIndexKey=0&varUserLanguage=en");
    return answer.status == 200 && answer.body.find("\nerror=\n") != std::string::npos;
  };
  // Waits until the agent has answered text; returns the whole transcript.
  auto answered = [&](const std::string& session, const std::string& text) {
    std::string chat;
    const bool seen = WaitUntil([&] {
      const auto answer = poll(session);
      chat = answer.status == 200 ? answer.body : "status " + std::to_string(answer.status);
      return chat.find("looking into &quot;" + text) != std::string::npos;
    }, 20s);
    return seen ? chat : "never answered: " + chat;
  };

  std::vector<std::string> sessions;
  for (int chat = 0; chat < kChats; ++chat) {
    const auto page = post("varUserRequest=REQ_JS_START&varCustomerName=Visitor" + std::to_string(chat) +
                           "&varCaption=Question&varUserLanguage=en&varBusinessUnitName=Sales");
    const auto at = page.body.find("data-session=\"");
    ASSERT_NE(at, std::string::npos) << page.raw;
    sessions.push_back(page.body.substr(at + 14, page.body.find('"', at + 14) - at - 14));
    ASSERT_TRUE(say(sessions.back(), line(chat, 1))) << chat;
  }
  // Both hosts have served: nginx spreads the chats over them.
  for (auto* host : {host_a.get(), host_b.get()}) {
    EXPECT_GE(CountOccurrences(host->process().Output(), " HTTP/1.1\" 200 "), 10u)
        << host->process().Output();
  }

  EXPECT_EQ(host_a->process().Stop(SIGKILL, 10s), 128 + SIGKILL);
  for (int chat = 0; chat < kChats; ++chat) {
    EXPECT_NE(answered(sessions[chat], line(chat, 1)).find("looking into"), std::string::npos) << chat;
    EXPECT_TRUE(say(sessions[chat], line(chat, 2))) << chat;
  }
  for (int chat = 0; chat < kChats; ++chat) {
    const std::string transcript = answered(sessions[chat], line(chat, 2));
    for (int number : {1, 2}) {
      EXPECT_EQ(CountOccurrences(transcript, "Visitor" + std::to_string(chat) + ": " + line(chat, number)), 1u) << transcript;
      EXPECT_EQ(CountOccurrences(transcript, "looking into &quot;" + line(chat, number)), 1u) << transcript;
    }
    EXPECT_LT(transcript.find(line(chat, 1)), transcript.find(line(chat, 2))) << transcript;
  }

  // The heartbeat: refused by nginx when the query asks for it in any
  // spelling, by the host when a form's body does, served for the monitoring.
  const std::string heartbeat = "varUserRequest=REQ_HEARTBEAT&varHostName=web1&varWebApp=webchat&varPort=80";
  // Counted, not compared whole: the host's last poll lines may still be on
  // their way through its output pipe. Every spelling below logs "EARTBEAT".
  const std::size_t before = CountOccurrences(host_b->process().Output(), "EARTBEAT");
  for (const std::string& query : std::vector<std::string>{heartbeat, "VARUSERREQUEST=REQ_HEARTBEAT", "varUserRequest=REQ_%48EARTBEAT", "x_varUserRequest=REQ_HEARTBEAT",
        "a=b?varUserRequest=REQ_HEARTBEAT", "varUserRequest=REQ_WEBCHAT_MAIN&varUserRequest=REQ_HEARTBEAT"}) {
    EXPECT_EQ(HttpFetch(nginx.port(), "GET", app + "?" + query).status, 403) << query;
  }
  EXPECT_EQ(CountOccurrences(host_b->process().Output(), "EARTBEAT"), before) << "nginx refused those itself";
  EXPECT_EQ(post(heartbeat).status, 403);
  EXPECT_EQ(FetchFrom("127.0.0.2", nginx.port(), "GET", app + "?" + heartbeat).status, 200);

  // What the operator keeps: paths and operations, no visitor's words.
  const std::string nginx_log = nginx_dir.Read("access.log");
  EXPECT_NE(nginx_log.find("GET /webchat/quorvix.so?varUserRequest=REQ_DELTA_CHAT\" 200 "), std::string::npos)
      << nginx_log;
  for (const std::string& log : {nginx_log, host_b->process().Output()}) {
    EXPECT_EQ(log.find("030-1234567"), std::string::npos) << log;
    EXPECT_EQ(log.find(sessions[0]), std::string::npos) << log;
  }
  EXPECT_EQ(host_b->Stop(), 0);
  EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
