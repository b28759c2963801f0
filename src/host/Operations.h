// The operation a request names, as the metrics label it: one of the
// module's request names or "other". Label values thus come from this fixed
// list and never from what a client sends, however many names it makes up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace host {

// The module's request names, in the order its dispatcher tries them, then
// "other".
inline constexpr std::size_t kOperationCount = 30;
inline constexpr std::uint8_t kOtherOperation = kOperationCount - 1;

std::string_view OperationName(std::uint8_t operation);

// The operation of a request whose parameter text (query string of a GET,
// body of a POST) is parameters, read as the module's dispatcher reads it: the
// first varUserRequest= (letter case ignored) up to ?, & or CR, URL-decoded,
// cut to 32 bytes, then the first name that occurs in it. Any thread; no
// allocation.
std::uint8_t OperationOf(std::string_view parameters) noexcept;

}  // namespace host
