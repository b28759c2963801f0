#include "host/StatusPages.h"

#include <sys/socket.h>

#include <string>

#include "isapi/ReasonPhrases.h"

namespace host {
namespace {

std::string StatusText(unsigned status) {
  return std::to_string(status) + " " + std::string(ReasonPhraseFor(status, "Error"));
}

std::string PageFor(const std::string& status_text) {
  return "<html><head><title>" + status_text + "</title></head><body><h1>" + status_text +
         "</h1></body></html>\n";
}

}  // namespace

MHD_Result QueueStatusPage(MHD_Connection* connection, unsigned status, bool close_connection,
                           const char* allow) {
  const std::string page = PageFor(StatusText(status));
  MHD_Response* response =
      MHD_create_response_from_buffer(page.size(), const_cast<char*>(page.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/html");
  if (allow != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
  if (close_connection) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

void WriteStatusPageNow(MHD_Connection* connection, unsigned status) {
  const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info != nullptr) WriteStatusPageTo(info->connect_fd, status);
}

void WriteStatusPageTo(int fd, unsigned status) {
  const std::string status_text = StatusText(status);
  const std::string page = PageFor(status_text);
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
