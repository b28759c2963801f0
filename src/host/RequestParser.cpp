#include "host/RequestParser.h"

#include <boost/beast/http/error.hpp>

#include "platform/Text.h"

namespace host {

namespace http = boost::beast::http;

RequestParser::RequestParser(std::size_t max_head_bytes, std::size_t max_body_bytes)
    : max_body_bytes_(max_body_bytes) {
  header_limit(static_cast<std::uint32_t>(max_head_bytes));
  // The host holds bodies to its own limit, after the head has been judged:
  // a wrong path is 404 however long its body says it is.
  body_limit(boost::none);
}

std::size_t RequestParser::Feed(std::string_view bytes) {
  std::size_t used = 0;
  boost::beast::error_code ec;
  while (error_status_ == 0 && !is_done()) {
    const bool head_was_done = is_header_done();
    used += put(boost::asio::buffer(bytes.data() + used, bytes.size() - used), ec);
    if (ec == http::error::need_more) return used;
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
  } else if (ec == http::error::bad_version) {
    error_status_ = 505;
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
