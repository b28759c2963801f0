// Reason phrases of the HTTP statuses that the module's frame and the host
// answer with themselves, and the page they answer with: one table and one
// page, so that a status reads the same whoever answers. Header-only, so that
// the host needs none of the module's code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct HttpReasonPhrase {
  std::uint32_t status;
  std::string_view phrase;
};

inline constexpr HttpReasonPhrase kHttpReasonPhrases[] = {
    {200, "OK"},
    {204, "No Content"},
    {400, "Bad Request"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {413, "Payload Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
};

// The phrase for status; `unknown` when the table has none, since the frame
// and the host each have their own word for that.
constexpr std::string_view ReasonPhraseFor(std::uint32_t status, std::string_view unknown) {
  for (const auto& row : kHttpReasonPhrases) {
    if (row.status == status) return row.phrase;
  }
  return unknown;
}

// "404 Not Found": the status line's text, and what the built-in page says.
inline std::string StatusText(std::uint32_t status) {
  return std::to_string(status) + " " + std::string(ReasonPhraseFor(status, "Unknown"));
}

// The page that says text ("404 Not Found"): what the frame and the host
// answer a status with when nothing better answers it.
inline std::string StatusPageMarkup(std::string_view text) {
  const std::string quoted(text);
  return "<html><head><title>" + quoted + "</title></head><body><h1>" + quoted + "</h1></body></html>\n";
}

// The page a status is answered with when no template answers it.
inline std::string BuiltInStatusPage(std::uint32_t status) { return StatusPageMarkup(StatusText(status)); }
