// The host's own answers, given without the module: a short HTML page for a
// status (doubtful framing, wrong path or method, body too large, shutting
// down, timed out), and the reason phrase of any status it sends.
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <string_view>

namespace host {

using StringResponse = boost::beast::http::response<boost::beast::http::string_body>;

// The reason phrase for status: the one the module's frame uses where it has
// one, the standard one otherwise, "Unknown" for a status nobody named.
std::string_view ReasonPhrase(unsigned status);

// Sets the status code and its ReasonPhrase; the phrase is stored only where
// it differs from the one the serializer writes by itself (one allocation
// less for most answers).
template <typename Response>
void SetStatus(Response& response, unsigned status) {
  response.result(status);
  if (const std::string_view phrase = ReasonPhrase(status); phrase != response.reason()) response.reason(phrase);
}

// The page "<status> <reason>", with Allow when given and "Connection: close"
// when close_connection. head: the same without the body, as HEAD gets it.
StringResponse StatusPage(unsigned status, bool close_connection, const char* allow = nullptr, bool head = false);

// The same page, with "Connection: close", straight onto a socket nothing
// else writes to: a connection refused at the door. A socket that cannot take
// the whole page at once is closed all the same.
void WriteStatusPageTo(int fd, unsigned status);

}  // namespace host
