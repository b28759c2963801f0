// The HTTP request head (and whatever follows it) as the host reads it off a
// connection. One host serves the real module for the whole run; each input
// is sent on a connection of its own, whose write side is then shut, and the
// answer is read until the host closes. The host must neither crash nor hang,
// and must answer nothing but well-formed HTTP/1.1 responses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "FuzzCheck.h"
#include "host/ExtensionModule.h"
#include "host/HostOptions.h"
#include "host/HttpHost.h"
#include "platform/Text.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

// Far beyond any answer of a host that works, short enough to call a hang.
constexpr auto kCloseDeadline = 5s;

// Hundreds of connections a second, on a machine that others share, can use
// up the local ports for a moment: that is waited out, a refusal is not.
int ConnectLoopback(unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto deadline = std::chrono::steady_clock::now() + kCloseDeadline;
  while (true) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_REQUIRE(fd >= 0, "no socket");
    int error = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
    if (error == EINTR) {
      // The fuzzer's timer interrupted the wait; the connect goes on.
      pollfd wait{fd, POLLOUT, 0};
      socklen_t length = sizeof error;
      while (poll(&wait, 1, 5000) < 0 && errno == EINTR) {
      }
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    }
    if (error == 0) return fd;
    close(fd);
    FUZZ_REQUIRE((error == EADDRNOTAVAIL || error == EAGAIN) && std::chrono::steady_clock::now() < deadline,
                 (std::string("cannot connect to the host: ") + std::strerror(error)).c_str());
    std::this_thread::sleep_for(10ms);
  }
}

// The back end, for the module's sake: it takes each connection and closes
// it, so that exchanges fail at once instead of waiting for a connection.
class ClosingBackend {
 public:
  ClosingBackend() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    FUZZ_REQUIRE(fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                     listen(fd_, SOMAXCONN) == 0 &&
                     getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0,
                 "cannot listen for the module's back-end connections");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      while (!stopping_) {
        const int connection = accept(fd_, nullptr, nullptr);
        if (connection >= 0) close(connection);
      }
    });
  }
  ~ClosingBackend() {
    stopping_ = true;
    close(ConnectLoopback(port_));  // wakes the accept
    thread_.join();
    close(fd_);
  }
  unsigned short port() const { return port_; }

 private:
  int fd_ = -1;
  unsigned short port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// site/RAVO.ini with the values of keys replaced.
std::string IniWith(const std::map<std::string, std::string>& values) {
  std::ifstream in(QUORVIX_SITE_DIR "RAVO.ini");
  std::ostringstream out;
  std::string line;
  while (std::getline(in, line)) {
    const auto equals = line.find('=');
    const auto replaced = equals == std::string::npos ? values.end() : values.find(line.substr(0, equals));
    out << (replaced == values.end() ? line : replaced->first + "=" + replaced->second) << '\n';
  }
  return out.str();
}

// The module installed in a scratch folder, loaded and started, and the host
// serving it on a loopback port of the kernel's choice.
class ServedModule {
 public:
  ServedModule() {
    std::filesystem::copy(QUORVIX_SITE_DIR "html", site_.path() + "html", std::filesystem::copy_options::recursive);
    std::filesystem::copy_file(QUORVIX_MODULE_PATH, site_.path() + "quorvix.so");
    const std::string port = std::to_string(backend_.port());
    site_.Write("RAVO.ini", IniWith({{"Port", port}, {"SSLPort", port}, {"MinSockets", "1"}, {"MaxSockets", "2"},
                                     {"DebugOutput", "no"}, {"TIME_INTERVAL_SEC", "3600"}}));
    std::string error;
    module_ = host::ExtensionModule::Load(site_.path() + "quorvix.so", error);
    FUZZ_REQUIRE(module_ != nullptr, error.c_str());
    QX_VERSION_INFO version{};
    FUZZ_REQUIRE(module_->GetExtensionVersion(&version), "the module did not start");
    host::HostOptions options;
    options.module_path = site_.path() + "quorvix.so";
    options.listen_address = "127.0.0.1";
    options.listen_port = 0;
    options.access_log = false;
    host_ = std::make_unique<host::HttpHost>(options, *module_);
    FUZZ_REQUIRE(host_->Start(error), error.c_str());
    const std::string url = host_->Url();  // http://127.0.0.1:PORT/...
    port_ = static_cast<unsigned short>(text::ParseLeadingInt(url.substr(url.rfind(':') + 1)));
    FUZZ_REQUIRE(port_ != 0, "the host's URL names no port");
  }
  ~ServedModule() {
    host_->Shutdown();
    module_->TerminateExtension(QX_TERM_MUST_UNLOAD);
    host_.reset();
    module_.reset();
  }
  unsigned short port() const { return port_; }

 private:
  ClosingBackend backend_;
  TempDir site_;
  std::unique_ptr<host::ExtensionModule> module_;
  std::unique_ptr<host::HttpHost> host_;
  unsigned short port_ = 0;
};

ServedModule* g_served = nullptr;

void StopServing() {
  delete g_served;
  g_served = nullptr;
}

// Sends request, shuts the write side and reads until the host closes.
std::string Exchange(unsigned short port, std::string_view request) {
  const int fd = ConnectLoopback(port);
  // The host may answer and close before it has read everything.
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t count = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    sent += static_cast<std::size_t>(count);
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + kCloseDeadline;
  char buffer[16384];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    FUZZ_REQUIRE(left.count() > 0, "the host kept the connection open after the client had sent everything");
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;  // closed, or reset after an answer the host gave early
    answer.append(buffer, static_cast<std::size_t>(count));
  }
  close(fd);
  return answer;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text::EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// The length of a chunked body at the start of text, or npos while incomplete.
std::size_t ChunkedLength(std::string_view text) {
  std::size_t at = 0;
  while (true) {
    const auto line_end = text.find("\r\n", at);
    if (line_end == std::string_view::npos) return std::string_view::npos;
    const auto digits = text::ReadDigits(text, at, line_end - at, 16);
    FUZZ_REQUIRE(digits.count > 0, "a chunk without its size");
    at = line_end + 2;
    if (digits.value == 0) break;
    at += static_cast<std::size_t>(digits.value);
    if (at + 2 > text.size()) return std::string_view::npos;
    FUZZ_REQUIRE(text.substr(at, 2) == "\r\n", "a chunk not ended by CRLF");
    at += 2;
  }
  // Trailers, then the empty line.
  const auto end = text.find("\r\n\r\n", at - 2);
  return end == std::string_view::npos ? std::string_view::npos : end + 4;
}

// Checks each response that can be framed; a last one cut short by a reset
// is checked as far as it goes.
void CheckAnswer(std::string_view answer) {
  constexpr std::string_view kStatusStart = "HTTP/1.1 ";
  while (!answer.empty()) {
    if (answer.size() < kStatusStart.size()) {
      FUZZ_REQUIRE(kStatusStart.starts_with(answer), "an answer that is not an HTTP/1.1 response");
      return;
    }
    FUZZ_REQUIRE(answer.starts_with(kStatusStart), "an answer that is not an HTTP/1.1 response");
    const auto head_end = answer.find("\r\n\r\n");
    if (head_end == std::string_view::npos) return;
    const std::string_view head = answer.substr(0, head_end + 2);
    const auto status = text::ReadDigits(head, kStatusStart.size(), 3, 10);
    FUZZ_REQUIRE(status.count == 3 && head[kStatusStart.size() + 3] == ' ', "a status line without its code");
    int lengths = 0;
    long long content_length = -1;
    bool chunked = false;
    for (auto at = head.find("\r\n") + 2; at < head.size();) {
      const auto end = head.find("\r\n", at);
      const auto line = head.substr(at, end - at);
      FUZZ_REQUIRE(!line.starts_with("HTTP/"), "a second status line in one response");
      FUZZ_REQUIRE(line.find(':') != std::string_view::npos, "a header line without a colon");
      if (StartsWithIgnoringCase(line, "Content-Length:")) {
        ++lengths;
        const auto value = line.substr(line.find_first_not_of(' ', 15));
        content_length = text::ReadDigits(value, 0, value.size(), 10).value;
      }
      if (StartsWithIgnoringCase(line, "Transfer-Encoding:")) chunked = true;
      at = end + 2;
    }
    FUZZ_REQUIRE(lengths <= 1 && !(lengths == 1 && chunked), "a response framed two ways");
    std::string_view rest = answer.substr(head_end + 4);
    const bool no_body = status.value < 200 || status.value == 204 || status.value == 304 ||
                         // an answer to HEAD: its length is that of the body left out
                         rest.starts_with(kStatusStart) || rest.empty();
    if (no_body) {
      answer = rest;
    } else if (chunked) {
      const auto length = ChunkedLength(rest);
      if (length == std::string_view::npos) return;
      answer = rest.substr(length);
    } else if (content_length >= 0) {
      if (static_cast<std::size_t>(content_length) > rest.size()) return;
      answer = rest.substr(static_cast<std::size_t>(content_length));
    } else {
      return;  // the body runs to the close
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  signal(SIGPIPE, SIG_IGN);
  g_served = new ServedModule();
  std::atexit(StopServing);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckAnswer(Exchange(g_served->port(), std::string_view(reinterpret_cast<const char*>(data), size)));
  return 0;
}
