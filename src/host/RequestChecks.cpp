#include "host/RequestChecks.h"

#include <cstddef>

#include "platform/Text.h"

namespace host {
namespace {

struct FramingLines {
  int content_length = 0;
  int transfer_encoding = 0;
  int host = 0;
  std::string_view coding;  // of the last Transfer-Encoding line
};

MHD_Result CountFramingLine(void* cls, MHD_ValueKind, const char* key, std::size_t key_size,
                            const char* value, std::size_t value_size) {
  auto& lines = *static_cast<FramingLines*>(cls);
  const std::string_view name(key, key_size);
  if (text::EqualsIgnoringCase(name, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
    ++lines.content_length;
  } else if (text::EqualsIgnoringCase(name, MHD_HTTP_HEADER_TRANSFER_ENCODING)) {
    ++lines.transfer_encoding;
    lines.coding = value != nullptr ? std::string_view(value, value_size) : std::string_view();
  } else if (text::EqualsIgnoringCase(name, MHD_HTTP_HEADER_HOST)) {
    ++lines.host;
  }
  return MHD_YES;
}

// The library refuses other major versions itself.
bool AtLeastHttp11(std::string_view version) {
  return version.starts_with("HTTP/1.") && version != MHD_HTTP_VERSION_1_0;
}

}  // namespace

bool HasSoundFraming(MHD_Connection* connection, std::string_view version) {
  FramingLines lines;
  MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &CountFramingLine, &lines);
  const bool http11 = AtLeastHttp11(version);
  if (lines.content_length > 1) return false;
  if (http11 ? lines.host != 1 : lines.host > 1) return false;
  if (lines.transfer_encoding == 0) return true;
  // Before HTTP/1.1 a recipient may not know the coding, and beside a length
  // one of the two lies. Any other text, even a coding list ending in
  // chunked, the library would read as a body that lasts until the close.
  return http11 && lines.content_length == 0 && lines.transfer_encoding == 1 &&
         text::EqualsIgnoringCase(lines.coding, "chunked");
}

}  // namespace host
