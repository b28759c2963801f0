// The web server's extension interface as the module's code sees it, on
// either platform: the real control block of <httpext.h> on Windows, the
// project's own (isapi/httpext.h) on Linux. Code above this layer reaches the
// control block's callbacks only through the functions below, whose sizes are
// 32-bit and whose failures come back as the server's error number (errno on
// Linux, GetLastError on Windows).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(_WIN32)
#include <windows.h>
#include <httpext.h>
#endif

// Also on Windows: the optional hooks' records a host of our own reads.
#include "isapi/httpext.h"

namespace isapi {

#if defined(_WIN32)
using ControlBlock = EXTENSION_CONTROL_BLOCK;
using VersionInfo = HSE_VERSION_INFO;
using Bool = BOOL;
using Dword = DWORD;
#define QX_ENTRY WINAPI
#else
using ControlBlock = QX_EXTENSION_CONTROL_BLOCK;
using VersionInfo = QX_VERSION_INFO;
using Bool = int;
using Dword = std::uint32_t;
#define QX_ENTRY
#endif

// The numbers of the interface, the same on both platforms (the project's
// header took them from the Windows one).
inline constexpr std::uint32_t kStatusSuccess = QX_STATUS_SUCCESS;
inline constexpr std::uint32_t kStatusPending = QX_STATUS_PENDING;
inline constexpr std::uint32_t kStatusError = QX_STATUS_ERROR;
inline constexpr std::uint32_t kTermAdvisoryUnload = QX_TERM_ADVISORY_UNLOAD;
inline constexpr std::uint32_t kTermMustUnload = QX_TERM_MUST_UNLOAD;
#if defined(_WIN32)
static_assert(kStatusSuccess == HSE_STATUS_SUCCESS && kStatusPending == HSE_STATUS_PENDING &&
              kStatusError == HSE_STATUS_ERROR && kTermAdvisoryUnload == HSE_TERM_ADVISORY_UNLOAD &&
              kTermMustUnload == HSE_TERM_MUST_UNLOAD && QX_MAX_EXT_DESC_LEN == HSE_MAX_EXT_DLL_NAME_LEN &&
              QX_REQ_SEND_RESPONSE_HEADER == HSE_REQ_SEND_RESPONSE_HEADER &&
              QX_REQ_DONE_WITH_SESSION == HSE_REQ_DONE_WITH_SESSION);
#endif

// The header lines a page goes out with when it added none. A Windows web
// server passes what the module writes through as it is, so every page needs
// its status line and content type sent ahead of it; the Linux host adds them
// itself.
#if defined(_WIN32)
inline constexpr std::string_view kHeadersOfAPlainPage = "Content-Type: text/html\r\n";
#else
inline constexpr std::string_view kHeadersOfAPlainPage = "";
#endif

// cbTotalBytes of a body whose length the server does not tell.
inline constexpr std::uint32_t kUnknownContentLength = 0xFFFFFFFFu;
// The server's error number for a client that went away (WSAECONNRESET).
inline constexpr long kErrorConnectionReset = 10054;

inline constexpr std::uint32_t MakeVersion(std::uint32_t major, std::uint32_t minor) {
  return (major << 16) | minor;
}

// Copies server variable name into buffer (size bytes, NUL included). On
// failure error holds the server's error number and size what was needed.
bool GetServerVariable(ControlBlock* ecb, const char* name, char* buffer, std::uint32_t& size, long& error);
// Sends bytes of body; bytes receives what was taken.
bool WriteClient(ControlBlock* ecb, const void* data, std::uint32_t& bytes, long& error);
// Reads the next part of the body into buffer; size receives the bytes read, 0 at its end.
bool ReadClient(ControlBlock* ecb, void* buffer, std::uint32_t& size);
// Sends the status line ("200 OK") and header lines ahead of the body.
bool SendResponseHeader(ControlBlock* ecb, std::string& status, std::string& headers, long& error);
// Tells the server that a pending request is answered.
void DoneWithSession(ControlBlock* ecb);
// Fills service with the host's event-loop service; false when the server
// offers none (a Windows web server never does).
bool GetEventLoopService(ControlBlock* ecb, QX_EVENT_LOOP_SERVICE& service);
// Puts text (cut to fit) into the block's log data, which the server adds to
// the request's log line. Both platforms' blocks have the field; a host
// built with the older, shorter Linux block (cbSize) is never written past.
inline void SetLogData(ControlBlock* ecb, std::string_view text) {
  constexpr std::size_t kNeeded = offsetof(ControlBlock, lpszLogData) + sizeof ecb->lpszLogData;
  if (ecb == nullptr || ecb->cbSize < kNeeded) return;
  const std::size_t length = std::min(text.size(), sizeof ecb->lpszLogData - 1);
  std::memcpy(ecb->lpszLogData, text.data(), length);
  ecb->lpszLogData[length] = '\0';
}

}  // namespace isapi
