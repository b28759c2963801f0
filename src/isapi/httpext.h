// The contract between a web server (the host) and an extension module.
//
// Plain C so that a host written in any language can fill it in. The host
// builds one control block per request and keeps it valid until the module
// returns a final status or, for a pending request, until the module sends
// server-support request QX_REQ_DONE_WITH_SESSION.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* QX_HCONN;

// Extension version reported to the host: major in the high 16 bits.
#define QX_VERSION_MAJOR(v) ((uint32_t)(v) >> 16)
#define QX_MAKE_VERSION(major, minor) (((uint32_t)(major) << 16) | (uint32_t)(minor))
#define QX_MAX_EXT_DESC_LEN 256

// Results of HttpExtensionProc.
#define QX_STATUS_SUCCESS 1
#define QX_STATUS_SUCCESS_AND_KEEP_CONN 2
#define QX_STATUS_PENDING 3
#define QX_STATUS_ERROR 4

// ServerSupportFunction requests.
#define QX_REQ_SEND_RESPONSE_HEADER 3
#define QX_REQ_DONE_WITH_SESSION 4     // the pending request is finished

// Request numbers of this host's own, in a range no web server uses for its
// standard requests. A web server without them answers FALSE with errno
// QX_ERROR_INVALID_PARAMETER, as for any request it does not know.
#define QX_REQ_PRIVATE_FIRST 0x51580000u
// The event-loop service: buffer points to a QX_EVENT_LOOP_SERVICE whose
// cbSize the module has set; the host fills in the rest.
#define QX_REQ_GET_EVENT_LOOP (QX_REQ_PRIVATE_FIRST + 1u)

// TerminateExtension flags.
#define QX_TERM_ADVISORY_UNLOAD 1
#define QX_TERM_MUST_UNLOAD 2

// cbTotalBytes value of a request body whose length the host does not know.
#define QX_UNKNOWN_CONTENT_LENGTH 0xFFFFFFFFu

// Values a host leaves in errno when a callback fails.
#define QX_ERROR_INVALID_PARAMETER 87
#define QX_ERROR_INSUFFICIENT_BUFFER 122
#define QX_ERROR_INVALID_INDEX 1413
#define QX_ERROR_CONNECTION_RESET 10054

#define QX_LOG_DATA_LEN 80

typedef struct QX_VERSION_INFO {
  uint32_t dwExtensionVersion;
  char lpszExtensionDesc[QX_MAX_EXT_DESC_LEN];
} QX_VERSION_INFO;

typedef struct QX_EXTENSION_CONTROL_BLOCK {
  uint32_t cbSize;
  uint32_t dwVersion;
  QX_HCONN ConnID;
  uint32_t dwHttpStatusCode;  // written by the module, read by the host when answering
  const char* lpszMethod;
  const char* lpszQueryString;
  const char* lpszPathInfo;
  const char* lpszContentType;
  uint32_t cbTotalBytes;  // body length, or QX_UNKNOWN_CONTENT_LENGTH
  uint32_t cbAvailable;   // bytes of the body already in lpbData
  const unsigned char* lpbData;

  // Copies a server variable, NUL included, into buffer. On a short buffer it
  // fails with errno QX_ERROR_INSUFFICIENT_BUFFER and *size set to the size
  // needed; an unknown name fails with QX_ERROR_INVALID_INDEX. Returns non-zero
  // on success.
  int (*GetServerVariable)(QX_HCONN conn, const char* name, void* buffer, uint32_t* size);
  // Sends *bytes bytes of body to the client; *bytes receives what was taken.
  int (*WriteClient)(QX_HCONN conn, const void* buffer, uint32_t* bytes, uint32_t reserved);
  // Reads the next part of the body; *size receives the bytes read, 0 at end.
  int (*ReadClient)(QX_HCONN conn, void* buffer, uint32_t* size);
  // Request QX_REQ_SEND_RESPONSE_HEADER: buffer is the status line, data the
  // header lines (NUL-terminated, may be empty). Returns non-zero on success.
  int (*ServerSupportFunction)(QX_HCONN conn, uint32_t request, void* buffer, uint32_t* size,
                               void* data);
  // What the module asks the host to add to the request's access-log line,
  // NUL-terminated; the host zeroes it and reads it once the request is
  // done. An error page (HTTP 200) puts its code here. Last, so that a host
  // built with an older, shorter block (cbSize) is never written past.
  char lpszLogData[QX_LOG_DATA_LEN];
} QX_EXTENSION_CONTROL_BLOCK;

// What a wait of the event-loop service reports to its callback.
#define QX_LOOP_READABLE 1u
#define QX_LOOP_WRITABLE 2u
#define QX_LOOP_DEADLINE 4u   // its deadline has passed
// The host has answered the request without the module (a timeout, a client
// that left, its shutdown): the module ends what it does for the request and
// says it is done with the session. Every later wait reports it at once.
#define QX_LOOP_ABANDONED 8u

typedef void (*QX_LOOP_CALLBACK)(void* context, uint32_t events);

// Lets a pending request be completed on the loop that serves its client,
// with no thread waiting for it. Readiness is a hint: the module tries its
// non-blocking call and waits again when it would block.
typedef struct QX_EVENT_LOOP_SERVICE {
  uint32_t cbSize;
  // Any thread. Arms the request's one wait, replacing the one armed before
  // (whose callback then does not run): callback(context, events) runs once,
  // on the request's loop, when fd (-1: none) is ready for events
  // (QX_LOOP_READABLE, QX_LOOP_WRITABLE), when deadlineNs (CLOCK_MONOTONIC;
  // 0: none) has passed (at once when it is not in the future), or when the
  // request is abandoned. The fd stays the module's. Fails once the module is
  // done with the session. Returns non-zero on success.
  int (*Wait)(QX_HCONN conn, int32_t fd, uint32_t events, int64_t deadlineNs, QX_LOOP_CALLBACK callback,
              void* context);
  // Any thread. Withdraws the armed wait; a callback already begun runs on.
  int (*Cancel)(QX_HCONN conn);
} QX_EVENT_LOOP_SERVICE;

typedef int (*QX_GetExtensionVersionFn)(QX_VERSION_INFO* version);
typedef uint32_t (*QX_HttpExtensionProcFn)(QX_EXTENSION_CONTROL_BLOCK* ecb);
typedef int (*QX_TerminateExtensionFn)(uint32_t flags);
typedef void (*QX_PoolStatsEntryFn)(void* buffer);

// An optional export, GetHeartbeatStatusEntry: how the module's heartbeats to
// its back end went, for a host that reports its health. Times are
// CLOCK_MONOTONIC in nanoseconds, taken when a heartbeat's exchange ended;
// host and module share the clock because they share the process.
typedef struct QX_HEARTBEAT_STATUS {
  int64_t lastAttemptNs;  // 0: no heartbeat yet
  int64_t lastSuccessNs;  // last one that every back-end connection in use answered; 0: none yet
  int32_t lastSucceeded;  // 1 when the last attempt was such a success
  int32_t everySeconds;   // the period the module sends heartbeats at
} QX_HEARTBEAT_STATUS;
typedef void (*QX_HeartbeatStatusEntryFn)(QX_HEARTBEAT_STATUS* status);

// An optional export, GetErrorPageCountsEntry: how many error pages the
// module has answered since it was loaded, by the code the page shows.
// Error pages go out with HTTP status 200, so only these counts tell an
// operator what visitors saw. Codes of digits are counted apart, up to
// QX_ERROR_PAGE_CODES_KEPT of them; any other code, and codes beyond those,
// are counted as "other". Fills up to `capacity` entries and returns how
// many codes have counts (at most QX_ERROR_PAGE_CODES_KEPT + 1).
#define QX_ERROR_PAGE_CODES_KEPT 32
typedef struct QX_ERROR_PAGE_COUNT {
  char code[8];    // NUL-terminated: "1002", ..., or "other"
  uint64_t count;
} QX_ERROR_PAGE_COUNT;
typedef uint32_t (*QX_ErrorPageCountsEntryFn)(QX_ERROR_PAGE_COUNT* counts, uint32_t capacity);

#ifdef __cplusplus
}
#endif
