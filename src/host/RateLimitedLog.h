// Lines for the operator on standard error, at most one per kind and
// interval: a condition that lasts (descriptors exhausted, connection limit
// reached) is worth one line now and then with a count, not one per attempt.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace host {

// Writes "quorvix-host: <line>" unless a line of the same kind went out less
// than interval ago; the next line of that kind says how many were held back.
// Any thread.
void LogLimited(std::string_view kind, std::string_view line,
                std::chrono::seconds interval = std::chrono::seconds(10));

}  // namespace host
