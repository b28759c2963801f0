#include "host/StatusPages.h"

#include <sys/socket.h>

#include <boost/beast/http/status.hpp>

#include <string>

#include "isapi/ReasonPhrases.h"

namespace host {
namespace {

std::string StatusText(unsigned status) { return std::to_string(status) + " " + std::string(ReasonPhrase(status)); }

}  // namespace

std::string_view ReasonPhrase(unsigned status) {
  const std::string_view standard = boost::beast::http::obsolete_reason(boost::beast::http::int_to_status(status));
  return ReasonPhraseFor(status, standard.starts_with('<') ? std::string_view("Unknown") : standard);
}

StringResponse StatusPage(unsigned status, bool close_connection, const char* allow, bool head) {
  namespace http = boost::beast::http;
  StringResponse response;
  SetStatus(response, status);
  response.set(http::field::content_type, "text/html");
  if (allow != nullptr) response.set(http::field::allow, allow);
  response.body() = StatusPageMarkup(StatusText(status));
  response.content_length(response.body().size());
  if (head) response.body().clear();
  response.keep_alive(!close_connection);
  return response;
}

void WriteStatusPageTo(int fd, unsigned status) {
  const std::string status_text = StatusText(status);
  const std::string page = StatusPageMarkup(status_text);
  const std::string message = "HTTP/1.1 " + status_text + "\r\nContent-Type: text/html\r\nContent-Length: " +
                              std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page;
  // The socket does not block; nothing waits for it to drain.
  for (std::size_t sent = 0; sent < message.size();) {
    const ssize_t count = send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return;
    sent += static_cast<std::size_t>(count);
  }
}

}  // namespace host
