// The operation a request names, its varUserRequest, found where and as the
// module finds it: the host needs it for the access log, which keeps the
// operation and drops every other value, and to keep the heartbeat to the
// monitoring addresses. Pure functions of the request's texts.
#pragma once

#include <string_view>

namespace host {

// The text the module reads a request's values from: a POST's body unless it
// is blank, else the query.
std::string_view ModuleParameters(std::string_view method, std::string_view query, std::string_view body);

// The first varUserRequest value of parameters as sent (not decoded); empty
// when there is none. Like the module, the name is found anywhere in the
// text, without regard to letter case, and the value runs to the first '?',
// '&' or carriage return.
std::string_view RawRequestValue(std::string_view parameters);

// That value cut to the 32 bytes the module reads of it.
std::string_view RequestName(std::string_view parameters);

// Whether any varUserRequest value in text could make the module send a
// heartbeat: one that names it, or one with a percent sign, which decodes to
// whatever its sender wants and which no page of the site sends. Errs on the
// side of yes, so that no spelling, repetition or encoding slips through.
bool MayNameHeartbeat(std::string_view text);

}  // namespace host
