// Finding and decoding the name=value pairs of a request, and gathering the
// pairs the module does not know as call data for the back end. Pure
// functions of the caller's texts; safe from any thread.
#pragma once

#include <array>
#include <string>
#include <string_view>

// The request variables the module itself understands; every other pair of a
// chat start or callback request is call data.
inline constexpr std::array<std::string_view, 27> kKnownVariableNames = {
    "varSessionPriority", "varUserRequest",    "varCallType",          "varInitialURL",
    "varUserLanguage",    "varVEKALanguage",   "varSiteKey",           "varCustomerName",
    "varCaption",         "varUserRequestButton", "varPhoneNumber",    "varSchedules",
    "varTimezoneOffset",  "varClientType",     "varAreaCode",          "varPhone",
    "varCountryCode",     "varPriority",       "varFirstPeriod",       "varFirstDate",
    "varSecondPeriod",    "varSecondDate",     "varJavaScriptSupport", "Submit",
    "varSource",          "varDestination",    "varBusinessUnitName"};

// Looks up name (with its trailing '=') anywhere in text without regard to
// letter case. The value runs to the first '?', '&' or carriage return and is
// URL-decoded. Returns whether the name was found; value is empty if not.
bool ExtractWebVar(std::string_view text, std::string_view name, std::string& value);
// The same value as it stands in text, not decoded, and without records.
bool FindWebVar(std::string_view text, std::string_view name, std::string_view& raw);

// '+' becomes a blank and "%xy" one byte; a '%' without two characters after
// it stays. Returns whether anything was decoded.
bool URLDecode(std::string& text);
// The same from text into decoded, with the same records.
bool URLDecode(std::string_view text, std::string& decoded);

// The pairs of text that name no known variable, joined by '&' and decoded.
void GetRelevantParams(std::string_view text, std::string& data);

// False when pair contains a known variable name anywhere (case-sensitive).
bool ContainsRelevantCallData(std::string_view pair);

// The first `limit` bytes of text.
inline std::string CutTo(std::string text, std::size_t limit) {
  if (text.size() > limit) text.resize(limit);
  return text;
}
