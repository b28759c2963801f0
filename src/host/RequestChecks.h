// Whether the host, and any proxy in front of it, can agree where a request
// ends. The HTTP library frames a body by the first Content-Length or
// Transfer-Encoding line alone and lets the rest through; a request that can
// be read two ways lets a second request ride past a proxy that reads it the
// other way. These checks refuse what the library lets through. What it
// refuses itself never reaches them: a Content-Length that is not a plain
// number, and (with its client strictness at -1, set in HttpHost::Start)
// whitespace before a header's colon.
//
// Threads: the library's thread, in the first access-handler call of a
// request, once its headers are in.
#pragma once

#include <microhttpd.h>

#include <string_view>

namespace host {

// True when the request's length and Host lines leave no doubt: at most one
// Content-Length; a Transfer-Encoding only from HTTP/1.1 on, never beside a
// Content-Length, on one line and exactly "chunked" (the one coding the
// library decodes); one Host line in HTTP/1.1, at most one before. version is
// the request line's, as the library passes it. False: answer 400 and close
// the connection, since where this request ends, and the next begins, is
// unknown.
[[nodiscard]] bool HasSoundFraming(MHD_Connection* connection, std::string_view version);

}  // namespace host
