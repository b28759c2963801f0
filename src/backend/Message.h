// The extension's side of the message format: reading a response field with
// its diagnostics records. Building, encoding and the layout are in protocol/.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol/Message.h"

// Field number index (0-based) of a complete response, header included, or
// the empty text when there is no such field. Which fields have long prefixes
// follows from the response type.
void ExtractParmFromVEKACSMessage(std::string_view message, int index, std::string& value);
// Every field of a response at once, as views into it (the records of one
// extraction).
std::vector<std::string_view> ExtractParmsFromVEKACSMessage(std::string_view message);
