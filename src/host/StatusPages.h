// The host's own answers, given without the module: a short HTML page for a
// status (doubtful framing, wrong path or method, body too large, shutting
// down, timed out).
#pragma once

#include <microhttpd.h>

namespace host {

// Queues a page "<status> <reason>" on connection, with Allow when given and
// "Connection: close" when close_connection. Call from the library's access
// handler for that connection; MHD_NO when the library refused the answer.
MHD_Result QueueStatusPage(MHD_Connection* connection, unsigned status, bool close_connection,
                           const char* allow = nullptr);

// Writes the same page, with "Connection: close", straight to the
// connection's socket (plain HTTP: the host has no TLS). Only while a request
// body arrives: the library then takes no answer, and has nothing of its own
// to write. Call from the access handler for that connection and return
// MHD_NO from it, so that the library closes the connection before it reads
// or writes again. A socket that cannot take the whole page at once is closed
// all the same.
void WriteStatusPageNow(MHD_Connection* connection, unsigned status);

// The same on a socket the library never saw: a connection refused at the door.
void WriteStatusPageTo(int fd, unsigned status);

}  // namespace host
