#include "host/StatusPages.h"

#include <string>

#include "isapi/ReasonPhrases.h"

namespace host {

MHD_Result QueueStatusPage(MHD_Connection* connection, unsigned status, bool close_connection,
                           const char* allow) {
  const std::string text = std::to_string(status) + " " + std::string(ReasonPhraseFor(status, "Error"));
  const std::string page = "<html><head><title>" + text + "</title></head><body><h1>" + text +
                           "</h1></body></html>\n";
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

}  // namespace host
