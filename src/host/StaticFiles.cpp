#include "host/StaticFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <utility>

#include "platform/Text.h"


namespace host {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 15> kTypes{{
    {".js", "text/javascript; charset=utf-8"},
    {".mjs", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".html", "text/html; charset=utf-8"},
    {".htm", "text/html; charset=utf-8"},
    {".txt", "text/plain; charset=utf-8"},
    {".json", "application/json; charset=utf-8"},
    {".svg", "image/svg+xml; charset=utf-8"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".gif", "image/gif"},
    {".ico", "image/x-icon"},
    {".woff2", "font/woff2"},
    {".ogg", "audio/ogg"},
    {".mp3", "audio/mpeg"},
}};

// The relative path decoded and checked segment by segment; empty when it
// could name anything but a file below the folder.
std::string SafeRelativePath(std::string_view raw) {
  std::string decoded;
  if (!text::PercentDecode(raw, text::kPathEscapes, decoded)) return {};
  std::size_t start = 0;
  while (start <= decoded.size()) {
    const std::size_t end = std::min(decoded.find('/', start), decoded.size());
    const std::string_view segment(decoded.data() + start, end - start);
    // Empty, "." and ".." segments and dot files (".htaccess", ".git") are
    // never served; nor is anything with a NUL or a backslash in its name.
    if (segment.empty() || segment.front() == '.' || segment.find('\0') != std::string_view::npos ||
        segment.find('\\') != std::string_view::npos) {
      return {};
    }
    start = end + 1;
  }
  return decoded;
}

std::string HttpDate(std::time_t when) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday], utc.tm_mday,
                kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

std::optional<std::time_t> ParseHttpDate(const char* text) {
  std::tm utc{};
  const char* end = strptime(text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  if (end == nullptr || *end != '\0') return std::nullopt;
  return timegm(&utc);
}

bool EtagListMatches(std::string_view list, std::string_view etag) {
  while (!list.empty()) {
    const std::size_t comma = std::min(list.find(','), list.size());
    std::string_view candidate = list.substr(0, comma);
    list.remove_prefix(std::min(comma + 1, list.size()));
    while (!candidate.empty() && candidate.front() == ' ') candidate.remove_prefix(1);
    while (!candidate.empty() && candidate.back() == ' ') candidate.remove_suffix(1);
    if (candidate.starts_with("W/")) candidate.remove_prefix(2);  // weak comparison, as for GET
    if (candidate == "*" || candidate == etag) return true;
  }
  return false;
}

// If-None-Match decides when present; If-Modified-Since only without it.
bool BrowserCopyIsCurrent(const std::string* if_none_match, const std::string* if_modified_since,
                          std::string_view etag, std::time_t modified) {
  if (if_none_match != nullptr) return EtagListMatches(*if_none_match, etag);
  if (if_modified_since != nullptr) {
    const auto date = ParseHttpDate(if_modified_since->c_str());
    return date && modified <= *date;
  }
  return false;
}

// The real path of the file when it is a regular file inside the real
// folder, so that no symbolic link leads out of it.
std::optional<std::string> ResolveInside(const std::string& folder, const std::string& relative) {
  char real_folder[PATH_MAX];
  char real_file[PATH_MAX];
  if (realpath(folder.c_str(), real_folder) == nullptr) return std::nullopt;
  if (realpath((folder + "/" + relative).c_str(), real_file) == nullptr) return std::nullopt;
  const std::string inside = std::string(real_folder) + "/";
  if (std::strncmp(real_file, inside.c_str(), inside.size()) != 0) return std::nullopt;
  return std::string(real_file);
}

}  // namespace

std::string StaticFolderFor(const std::string& module_path) {
  const std::size_t slash = module_path.rfind('/');
  return (slash == std::string::npos ? std::string(".") : module_path.substr(0, slash)) + "/static";
}

std::string_view StaticContentType(std::string_view file_name) {
  const std::size_t dot = file_name.rfind('.');
  if (dot != std::string_view::npos && file_name.find('/', dot) == std::string_view::npos) {
    std::string ending(file_name.substr(dot));
    for (auto& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& [suffix, type] : kTypes) {
      if (ending == suffix) return type;
    }
  }
  return "application/octet-stream";
}

StaticFile LookUpStaticFile(const std::string& folder, std::string_view relative_path,
                            const std::string* if_none_match, const std::string* if_modified_since) {
  StaticFile answer;
  const std::string relative = SafeRelativePath(relative_path);
  if (relative.empty()) return answer;
  const auto path = ResolveInside(folder, relative);
  if (!path) return answer;
  const int fd = open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    // A host short of descriptors or memory has the file all the same.
    if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) answer.status = 503;
    return answer;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return answer;
  }
  char etag[64];
  std::snprintf(etag, sizeof etag, "\"%llx-%llx-%lx\"", static_cast<unsigned long long>(info.st_size),
                static_cast<unsigned long long>(info.st_mtim.tv_sec), static_cast<long>(info.st_mtim.tv_nsec));
  answer.etag = etag;
  answer.last_modified = HttpDate(info.st_mtim.tv_sec);
  if (BrowserCopyIsCurrent(if_none_match, if_modified_since, answer.etag, info.st_mtim.tv_sec)) {
    close(fd);
    answer.status = 304;
    return answer;
  }
  answer.status = 200;
  answer.fd = fd;
  answer.size = static_cast<std::uint64_t>(info.st_size);
  answer.content_type = StaticContentType(relative);
  return answer;
}

bool ReadWholeStaticFile(int fd, std::uint64_t size, std::string& body) {
  body.resize(static_cast<std::size_t>(size));
  std::size_t got = 0;
  while (got < body.size()) {
    const ssize_t count = pread(fd, body.data() + got, body.size() - got, static_cast<off_t>(got));
    if (count > 0) {
      got += static_cast<std::size_t>(count);
    } else if (count == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  return got == body.size();
}

}  // namespace host
