// Reads one HTTP/1.1 request off a connection's bytes with Boost.Beast's
// parser, keeping what the host needs of it: the request line, every header
// line in order and as sent (names included, for the module's HTTP_<NAME>
// variables and for the framing checks), and the body up to a limit.
//
// Limits are the host's: the head's bytes (request line and headers), and the
// body's, which a chunked body is held to as it arrives. An error says what
// the client gets (status()); the parser then takes nothing more.
//
// Threads: one connection's loop; one parser per request.
#pragma once

#include <boost/beast/http/basic_parser.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace host {

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// The value of the first field named name (letter case ignored), or null.
const std::string* FindField(const HeaderFields& fields, std::string_view name);

class RequestParser : public boost::beast::http::basic_parser<true> {
 public:
  RequestParser(std::size_t max_head_bytes, std::size_t max_body_bytes);

  // Feeds bytes; returns how many were used. Returns early once the head is
  // complete, so that it can be judged before its body is read; call again
  // with the rest. error_status() is set once the request cannot be read.
  std::size_t Feed(std::string_view bytes);

  // The answer an unreadable request gets: 400 for malformed framing or
  // syntax (a chunk's line or the trailer over the head limit included), 413
  // for a body over the limit, 414 for a request line over the head limit,
  // 431 for headers over it, 505 for a well-formed HTTP version other than
  // 1.0 and 1.1. 0 while nothing is wrong.
  unsigned error_status() const { return error_status_; }

  std::string method;
  std::string target;
  unsigned version = 11;  // 10 or 11
  HeaderFields fields;    // the head's, in order; trailers are left out
  std::string body;

 private:
  void on_request_impl(boost::beast::http::verb, boost::beast::string_view method, boost::beast::string_view target,
                       int version, boost::beast::error_code&) override;
  void on_response_impl(int, boost::beast::string_view, int, boost::beast::error_code&) override {}
  void on_field_impl(boost::beast::http::field, boost::beast::string_view name, boost::beast::string_view value,
                     boost::beast::error_code&) override;
  void on_header_impl(boost::beast::error_code&) override;
  void on_body_init_impl(const boost::optional<std::uint64_t>& length, boost::beast::error_code&) override;
  std::size_t on_body_impl(boost::beast::string_view bytes, boost::beast::error_code&) override;
  void on_chunk_header_impl(std::uint64_t, boost::beast::string_view, boost::beast::error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, boost::beast::string_view bytes, boost::beast::error_code&) override;
  void on_finish_impl(boost::beast::error_code&) override {}
  void Refuse(const boost::beast::error_code& ec);

  const std::size_t max_head_bytes_;
  const std::size_t max_body_bytes_;
  bool request_line_done_ = false;
  bool head_done_ = false;
  unsigned error_status_ = 0;
};

}  // namespace host
