// Whether the host, and any proxy in front of it, can agree where a request
// ends. The parser frames a body by Content-Length or Transfer-Encoding and
// accepts some forms a proxy may read another way (the same length twice, a
// list of equal lengths on one line); a request that can be read two ways
// lets a second request ride past a proxy that reads it the other way. These
// checks refuse what the parser lets through. What it refuses itself never
// reaches them: a length that is not a number, conflicting lengths, a length
// beside chunked, whitespace before a header's colon.
//
// Threads: any; a pure function of the head.
#pragma once

#include "host/RequestParser.h"

namespace host {

// True when the request's length and Host lines leave no doubt: at most one
// Content-Length, and that a plain number; a Transfer-Encoding only from
// HTTP/1.1 on, never beside a Content-Length, on one line and exactly
// "chunked" (the one coding the host decodes); one Host line in HTTP/1.1, at
// most one before. version: 10 or 11. False: answer 400 and close the
// connection, since where this request ends, and the next begins, is unknown.
[[nodiscard]] bool HasSoundFraming(const HeaderFields& fields, unsigned version);

}  // namespace host
