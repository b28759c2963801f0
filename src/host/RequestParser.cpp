#include "host/RequestParser.h"

#include <boost/beast/http/error.hpp>

#include <algorithm>

#include "platform/Text.h"

namespace host {

namespace http = boost::beast::http;

namespace {

// Whether the request line is well formed but names an HTTP version other
// than 1.0 and 1.1 (505), rather than being malformed (400): both reach us
// as the same error of the parser.
bool NamesAnotherVersion(std::string_view bytes) {
  const std::string_view line = bytes.substr(0, bytes.find("\r\n"));
  // Method, target and version: two spaces, no more.
  if (std::count(line.begin(), line.end(), ' ') != 2) return false;
  const std::string_view version = line.substr(line.rfind(' ') + 1);
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  return version.size() == 8 && version.starts_with("HTTP/") && digit(version[5]) && version[6] == '.' &&
         digit(version[7]) && version != "HTTP/1.0" && version != "HTTP/1.1";
}

// Whether a line in bytes ends with LF alone.
bool HasBareLineFeed(std::string_view bytes) {
  for (auto at = bytes.find('\n'); at != std::string_view::npos; at = bytes.find('\n', at + 1)) {
    if (at == 0 || bytes[at - 1] != '\r') return true;
  }
  return false;
}

}  // namespace

RequestParser::RequestParser(std::size_t max_head_bytes, std::size_t max_body_bytes)
    : max_head_bytes_(max_head_bytes), max_body_bytes_(max_body_bytes) {
  header_limit(static_cast<std::uint32_t>(max_head_bytes));
  // The host holds bodies to its own limit, after the head has been judged:
  // a wrong path is 404 however long its body says it is.
  body_limit(boost::none);
}

std::size_t RequestParser::Feed(std::string_view bytes) {
  std::size_t used = 0;
  // An empty line before the request line (a client's stray CRLF after the
  // last body) is passed over.
  while (!request_line_done_ && used < bytes.size() &&
         (bytes[used] == '\n' || bytes.substr(used).starts_with("\r\n"))) {
    used += bytes[used] == '\n' ? 1 : 2;
  }
  boost::beast::error_code ec;
  while (error_status_ == 0 && !is_done()) {
    const bool head_was_done = is_header_done();
    used += put(boost::asio::buffer(bytes.data() + used, bytes.size() - used), ec);
    if (ec == http::error::need_more) {
      // A chunk's line and the trailer are taken only whole: what waits for
      // its end counts against the head's limit, or a client could have the
      // connection hold any amount of it. Nor can a line ended by LF alone
      // ever end for the parser, which waits for CR LF.
      if (is_header_done() && (bytes.size() - used > max_head_bytes_ || HasBareLineFeed(bytes.substr(used)))) {
        error_status_ = 400;
      }
      return used;
    }
    if (ec == http::error::bad_version) {
      error_status_ = NamesAnotherVersion(bytes.substr(used)) ? 505 : 400;
      return used;
    }
    if (ec) {
      Refuse(ec);
      return used;
    }
    // The head is judged before any of its body is read.
    if (!head_was_done && is_header_done()) return used;
    if (used == bytes.size()) return used;
  }
  return used;
}

void RequestParser::Refuse(const boost::beast::error_code& ec) {
  if (error_status_ != 0) return;  // a callback said why
  if (ec == http::error::header_limit) {
    error_status_ = request_line_done_ ? 431 : 414;
  } else {
    error_status_ = 400;
  }
}

const std::string* FindField(const HeaderFields& fields, std::string_view name) {
  for (const auto& [field, value] : fields) {
    if (text::EqualsIgnoringCase(field, name)) return &value;
  }
  return nullptr;
}

void RequestParser::on_request_impl(http::verb, boost::beast::string_view method_text, boost::beast::string_view target_text,
                                    int version_number, boost::beast::error_code&) {
  request_line_done_ = true;
  method.assign(method_text);
  target.assign(target_text);
  version = static_cast<unsigned>(version_number);
}

void RequestParser::on_field_impl(http::field, boost::beast::string_view name, boost::beast::string_view value,
                                  boost::beast::error_code&) {
  if (!head_done_) fields.emplace_back(name, value);
}

void RequestParser::on_header_impl(boost::beast::error_code&) { head_done_ = true; }

void RequestParser::on_body_init_impl(const boost::optional<std::uint64_t>& length, boost::beast::error_code&) {
  // A declared length beyond the limit was refused with the head.
  if (length && *length <= max_body_bytes_) body.reserve(static_cast<std::size_t>(*length));
}

std::size_t RequestParser::on_body_impl(boost::beast::string_view bytes, boost::beast::error_code& ec) {
  if (body.size() + bytes.size() > max_body_bytes_) {
    error_status_ = 413;
    ec = http::error::body_limit;
    return 0;
  }
  body.append(bytes);
  return bytes.size();
}

std::size_t RequestParser::on_chunk_body_impl(std::uint64_t, boost::beast::string_view bytes, boost::beast::error_code& ec) {
  return on_body_impl(bytes, ec);
}

}  // namespace host
