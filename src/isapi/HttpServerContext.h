// The per-request side of the request frame: the host's control block, the
// response stream that handlers write pages into, and the completion status
// the frame returns to the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "isapi/ControlBlock.h"

// A growable text buffer holding the response: header lines first (up to the
// context's end-of-headers position), then the body.
class CHtmlStream {
 public:
  void Write(std::string_view text) { text_.append(text); }
  void Insert(std::size_t position, std::string_view text) { text_.insert(position, text); }
  void Reset() { text_.clear(); }
  const std::string& Text() const { return text_; }
  // For a writer that makes its text in place, appending only.
  std::string& Buffer() { return text_; }
  std::size_t Size() const { return text_.size(); }

 private:
  std::string text_;
};

// One request. Owned by whoever answers it: the host thread, or for a pending
// request the worker thread that builds a fresh context for the same control
// block. Not shared between threads.
class CHttpServerContext {
 public:
  explicit CHttpServerContext(isapi::ControlBlock* ecb) : m_pECB(ecb) {}

  // Appends to the response stream; throws std::invalid_argument when the
  // context has none (the dispatcher's exception handler answers 500 then).
  CHttpServerContext& operator<<(std::string_view text);

  // Adds one header line ("Name: value\r\n") ahead of the body.
  void AddHeader(std::string_view line);

  // The host's server variable, read into a buffer of buffer_size bytes; empty
  // and *error set (the host's error number) when the host refuses.
  std::optional<std::string> GetServerVariable(const char* name, std::uint32_t buffer_size,
                                               long* error) const;

  isapi::ControlBlock* const m_pECB;
  std::unique_ptr<CHtmlStream> m_pStream;
  std::size_t m_dwEndOfHeaders = 0;
  std::optional<std::uint32_t> m_completionStatus;  // set only for a pending request
};

// HTTP status for a completion code of CallFunction: 0 is 200, a code the
// frame does not know is 500.
std::uint32_t HttpStatusForResult(int result);

// What happened when a context's response went to the host.
struct SendOutcome {
  enum class Kind { kSent, kNoContent, kHeaderFailed, kBodyFailed };
  Kind kind = Kind::kSent;
  int error = 0;  // the host's error number on failure
};

// Sends the stream of ctx with the status held in its control block: the text
// before the end-of-headers position through server-support request 3, then
// "\r\n" and the body; without headers, the body alone (where the server
// needs headers, isapi::kHeadersOfAPlainPage go first). A header failure other
// than a reset connection sends no body; either failure sets status 500.
SendOutcome SendContextResponse(CHttpServerContext& ctx);
