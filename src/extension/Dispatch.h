// The dispatch table: which handler serves a request name, and which values
// it receives in which order. One table row per operation drives the lookup,
// the variable extraction and the call.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "extension/RAVO.h"

// Where one handler argument comes from.
struct HandlerArgument {
  enum class Source {
    kVariable,      // the request variable named by text (without '=')
    kCallData,      // the pairs that name no known variable
    kBusinessUnit,  // the common business unit name, cut to 32
    kLanguage,      // the checked user language
    kFixed,         // text itself
  };
  Source source;
  std::string_view text = {};
};

enum class DispatchRule {
  kNone,
  kRequireJavaScript,      // varJavaScriptSupport must be exactly "yes"
  kPageNameWithoutMarkup,  // a page name containing &<>"' becomes empty
};

using HandlerInvoker = int (*)(CRAVOExtension& extension, const struct DispatchRow& row,
                               CHttpServerContext* ctx, const std::vector<std::string>& arguments);

// The service whose settings name the pool a handler borrows from, if any.
enum class BackendService { kNone, kChat, kCallback, kVoice, kPlainPool };

struct DispatchRow {
  std::string_view requestName;  // matched as a substring of the request name
  std::string_view handlerName;
  std::vector<HandlerArgument> arguments;  // after the context, in order
  DispatchRule rule;
  HandlerInvoker invoke;
  BackendService service = BackendService::kNone;
};

// All rows, in the order they are tested. Built above the services whose
// handlers they name (module/Routes.cpp); the extension receives them.
const std::vector<DispatchRow>& DispatchTable();

// The first row whose name occurs in request_name (case-sensitive), or null.
const DispatchRow* FindDispatchRow(const std::vector<DispatchRow>& rows, std::string_view request_name);
inline const DispatchRow* FindDispatchRow(std::string_view request_name) {
  return FindDispatchRow(DispatchTable(), request_name);
}

// The row's arguments, extracted from parameters and decoded, with the row's
// rule applied.
std::vector<std::string> CollectHandlerArguments(const DispatchRow& row,
                                                 std::string_view parameters,
                                                 const CommonRequestValues& common);

// The user language, or the default when it is empty or could reach outside
// a template folder or into a page ("<WC", or any of .&\<>"'/).
std::string CheckedLanguage(std::string language, const std::string& default_language);

// varUserRequest as ExtractCommonValues reads it, but leaving no records:
// for a look before the call, whose records must come as they do without it.
std::string RequestNameWithoutRecords(std::string_view parameters);

// The values every request carries, cut and checked.
CommonRequestValues ExtractCommonValues(std::string_view parameters,
                                        const std::string& default_language);
