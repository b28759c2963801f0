#include "host/RequestChecks.h"

#include <string_view>

#include "platform/Text.h"

namespace host {

bool HasSoundFraming(const HeaderFields& fields, unsigned version) {
  int content_length = 0;
  int transfer_encoding = 0;
  int host = 0;
  std::string_view coding;  // of the last Transfer-Encoding line
  std::string_view length;  // of the last Content-Length line
  for (const auto& [name, value] : fields) {
    if (text::EqualsIgnoringCase(name, "Content-Length")) {
      ++content_length;
      length = value;
    } else if (text::EqualsIgnoringCase(name, "Transfer-Encoding")) {
      ++transfer_encoding;
      coding = value;
    } else if (text::EqualsIgnoringCase(name, "Host")) {
      ++host;
    }
  }
  const bool http11 = version >= 11;
  if (content_length > 1) return false;
  if (content_length == 1 && (length.empty() || length.find_first_not_of("0123456789") != std::string_view::npos)) {
    return false;
  }
  if (http11 ? host != 1 : host > 1) return false;
  if (transfer_encoding == 0) return true;
  // Before HTTP/1.1 a recipient may not know the coding, and beside a length
  // one of the two lies. Any other text, even a coding list ending in
  // chunked, could be read as a body that lasts until the close.
  return http11 && content_length == 0 && transfer_encoding == 1 && text::EqualsIgnoringCase(coding, "chunked");
}

}  // namespace host
