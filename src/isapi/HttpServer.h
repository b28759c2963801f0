// The request frame an extension derives from. It turns one host request into
// a context and the two parameter texts, calls CallFunction, and answers the
// host with the status and stream the call left behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "isapi/HttpServerContext.h"
#include "isapi/ControlBlock.h"

// Results of CallFunction that the frame understands.
inline constexpr int kCallOk = 0;
inline constexpr int kCallUnexpectedException = 4;
inline constexpr int kCallNoStream = 5;

class CHttpServer {
 public:
  // Bodies above this are refused with 413 before anything is read.
  static constexpr std::size_t kMaxRequestBody = 4u << 20;

  CHttpServer() = default;
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;
  virtual ~CHttpServer() = default;

  // Handles one request on the calling host thread. Returns an
  // isapi::kStatus* value; kStatusPending means a worker answers later and nothing was sent.
  // Never throws.
  std::uint32_t HttpExtensionProc(isapi::ControlBlock* ecb);

  // query: the URL query string of a GET, the body of a POST, without trailing
  // blanks and line ends. command: the URL query string of a POST, empty for a
  // GET. Returns a kCall* value, or another code that the frame maps to an
  // HTTP error status.
  virtual int CallFunction(CHttpServerContext* ctx, std::string_view query,
                           std::string_view command) = 0;
  virtual bool TerminateExtension(std::uint32_t flags);
  virtual bool GetExtensionVersion(isapi::VersionInfo* version);
  virtual bool InitInstance(CHttpServerContext* ctx);

  // A fresh response stream; null when none can be made.
  virtual std::unique_ptr<CHtmlStream> ConstructStream();

  // Replaces the stream's content with the frame's standard text for an error
  // code; returns true when there is a stream to send it in.
  virtual bool OnParseError(CHttpServerContext* ctx, int code);

 protected:
  // The request once read: runs it through RunCall, or, in an extension that
  // first readies what the call needs without waiting, returns
  // kStatusPending and runs it later through RunLaterCall.
  virtual std::uint32_t Serve(isapi::ControlBlock* ecb, std::string_view query, std::string_view command) {
    return RunCall(ecb, query, command);
  }
  // CallFunction and the answer it left; may throw.
  std::uint32_t RunCall(isapi::ControlBlock* ecb, std::string_view query, std::string_view command);
  // RunCall for a request that was left pending before it ran: says done
  // with the session unless the call left it pending again. Never throws.
  void RunLaterCall(isapi::ControlBlock* ecb, std::string_view query, std::string_view command);
};
