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

}  // namespace host
