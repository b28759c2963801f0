// The site's static folder (scripts, style sheets, images), served by the
// host itself at /<app>/static/<path> so that browsers get each file with its
// own type and can cache it; the module only makes pages. Only regular files
// inside the folder are served: no listing, nothing reached through "..", a
// dot file or a symbolic link that leads out of it.
//
// Any thread may call QueueStaticFile; it reads nothing but the file system.
#pragma once

#include <microhttpd.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace host {

// "static/" beside the module file at module_path.
std::string StaticFolderFor(const std::string& module_path);

// The Content-Type for a file name: text types carry "charset=utf-8";
// unknown endings are "application/octet-stream".
std::string_view StaticContentType(std::string_view file_name);

struct StaticAnswer {
  unsigned status = 0;    // 200, 304 or 404
  std::size_t bytes = 0;  // of the body, for the access log
  bool queued = false;    // false: the library refused the answer
};

// Answers a GET or HEAD for relative_path (still percent-encoded, as in the
// request line) from folder: 200 with the file, 304 when the browser's
// If-None-Match or If-Modified-Since shows its copy is current, 404 otherwise.
// Call from the library's access handler for that connection.
StaticAnswer QueueStaticFile(MHD_Connection* connection, const std::string& folder,
                             std::string_view relative_path);

}  // namespace host
