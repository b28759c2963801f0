// The site's static folder (scripts, style sheets, images), served by the
// host itself at /<app>/static/<path> so that browsers get each file with its
// own type and can cache it; the module only makes pages. Only regular files
// inside the folder are served: no listing, nothing reached through "..", a
// dot file or a symbolic link that leads out of it.
//
// Any thread may call LookUpStaticFile; it reads nothing but the file system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace host {

// "static/" beside the module file at module_path.
std::string StaticFolderFor(const std::string& module_path);

// The Content-Type for a file name: text types carry "charset=utf-8";
// unknown endings are "application/octet-stream".
std::string_view StaticContentType(std::string_view file_name);

// What to answer for a static file.
struct StaticFile {
  unsigned status = 404;    // 200, 304, 404, or 503 when the host is short of descriptors
  int fd = -1;              // 200: the file, open; the caller owns it
  std::uint64_t size = 0;   // 200: its length
  std::string_view content_type;  // 200
  std::string etag;               // 200 and 304
  std::string last_modified;      // 200 and 304
};

// Looks up a GET or HEAD for relative_path (still percent-encoded, as in the
// request line) in folder: 200 with the file, 304 when the browser's
// If-None-Match or If-Modified-Since (null: not sent) shows its copy is
// current, 503 when the file cannot be opened for want of descriptors or
// memory, 404 otherwise.
StaticFile LookUpStaticFile(const std::string& folder, std::string_view relative_path,
                            const std::string* if_none_match, const std::string* if_modified_since);

// The Cache-Control of every static answer: revalidated on every use, since
// the pages name these files without a version, so a browser must not keep
// an old script after an upgrade; an unchanged file costs a 304 without a body.
inline constexpr const char* kStaticCacheControl = "no-cache";
// Files up to this size are read whole when asked for, so that a client that
// does not read its answer holds no file open; larger ones are sent from the
// open file as the client takes them.
inline constexpr std::uint64_t kStaticBytesReadAtOnce = 256 * 1024;
// Reads the size bytes of a looked-up file into body and closes fd; false
// when fewer came (the file shrank or failed under the read).
bool ReadWholeStaticFile(int fd, std::uint64_t size, std::string& body);
// The page in the static folder that a wrong path is answered with, when
// the folder has it.
inline constexpr const char* kNotFoundPage = "not-found.html";

}  // namespace host
