#include "extension/Dispatch.h"

#include <cassert>
#include <exception>
#include <utility>

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RequestVariables.h"
#include "vxml/VoiceOperations.h"

namespace {

using Source = HandlerArgument::Source;

constexpr HandlerArgument Var(std::string_view name) { return {Source::kVariable, name}; }
constexpr HandlerArgument kCallData{Source::kCallData};
constexpr HandlerArgument kBusinessUnit{Source::kBusinessUnit};
constexpr HandlerArgument kLanguage{Source::kLanguage};

// Calls a handler whose parameters after the context are all strings, with
// the collected values in row order.
template <typename... Strings, std::size_t... I>
int CallWithValues(CRAVOExtension& extension, int (CRAVOExtension::*handler)(CHttpServerContext*, Strings...),
                   CHttpServerContext* ctx, const std::vector<std::string>& values, std::index_sequence<I...>) {
  return (extension.*handler)(ctx, values[I]...);
}

template <auto Handler>
int Invoke(CRAVOExtension& extension, [[maybe_unused]] const DispatchRow& row, CHttpServerContext* ctx,
           const std::vector<std::string>& values) {
  return [&]<typename... Strings>(int (CRAVOExtension::*handler)(CHttpServerContext*, Strings...)) {
    // The row's argument list and the handler's parameters are one table.
    assert(row.arguments.size() == sizeof...(Strings) && values.size() == sizeof...(Strings));
    return CallWithValues(extension, handler, ctx, values, std::index_sequence_for<Strings...>());
  }(Handler);
}

int InvokeVoiceBrowser(CRAVOExtension& e, const DispatchRow& row, CHttpServerContext* c,
                       const std::vector<std::string>& a) {
  // The last argument is the language; the others are the operation's fields.
  return e.REQ_VXML(c, row.handlerName, std::span(a).first(a.size() - 1), a.back());
}

// A voice operation's row: its request fields from the operation table, then the language.
DispatchRow VoiceBrowserRow(const VoiceOperation& operation) {
  std::vector<HandlerArgument> arguments;
  for (const auto& field : operation.request) {
    switch (field.source) {
      case VoiceField::Source::kVariable: arguments.push_back(Var(field.text)); break;
      case VoiceField::Source::kBusinessUnit: arguments.push_back(kBusinessUnit); break;
      case VoiceField::Source::kFixed: arguments.push_back({Source::kFixed, field.text}); break;
    }
  }
  arguments.push_back(kLanguage);
  return {operation.name, operation.name, std::move(arguments), DispatchRule::kNone, &InvokeVoiceBrowser};
}

std::vector<DispatchRow> BuildDispatchTable() {
  std::vector<DispatchRow> rows = {
      {"REQ_CALLBACK_AVAILABILITY", "REQ_WEB_CALLBACK_AVAILABILITY", {kBusinessUnit, kLanguage},
       DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_WEB_CALLBACK_AVAILABILITY>},
      {"REQ_WEB_CALLBACK", "REQ_WEB_CALLBACK",
       {Var("varCustomerName"), Var("varPhoneNumber"), Var("varCaption"), Var("varPriority"),
        Var("varCallType"), Var("varSchedules"), Var("varTimezoneOffset"), kCallData, kLanguage},
       DispatchRule::kRequireJavaScript,
       &Invoke<&CRAVOExtension::REQ_WEB_CALLBACK>},
      {"REQ_WEBCHAT_MAIN", "REQ_WEBCHAT_MAIN", {kBusinessUnit, kLanguage}, DispatchRule::kNone,
       &Invoke<&CRAVOExtension::REQ_WEBCHAT_MAIN>},
      {"REQ_STAT_PAGE", "REQ_STAT_PAGE", {kLanguage, Var("varPageName")},
       DispatchRule::kPageNameWithoutMarkup, &Invoke<&CRAVOExtension::REQ_STAT_PAGE>},
      {"REQ_JS_START", "REQ_JS_START",
       {Var("varSessionPriority"), Var("varCustomerName"), Var("varCaption"),
        Var("varDestination"), Var("varVEKALanguage"), Var("varSource"), kCallData,
        kBusinessUnit, kLanguage},
       DispatchRule::kNone,
       &Invoke<&CRAVOExtension::REQ_JS_START>},
      {"REQ_DELTA_CHAT", "REQ_DELTA_CHAT", {Var("varSessionID"), Var("varIndexKey"), kLanguage},
       DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_DELTA_CHAT>},
      {"REQ_ADD_TO_CHAT", "REQ_ADD_TO_CHAT",
       {Var("varSessionID"), Var("varChatData"), Var("varIndexKey"), kLanguage},
       DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_ADD_TO_CHAT>},
      {"REQ_NOTIFY_TYPING_CHAT", "REQ_NOTIFY_TIPYNG_CHAT",
       {Var("varSessionID"), Var("varIsTypingData"), Var("varIndexKey"), kLanguage},
       DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_NOTIFY_TIPYNG_CHAT>},
      {"REQ_HANG_UP", "REQ_HANG_UP", {Var("varSessionID"), kLanguage}, DispatchRule::kNone,
       &Invoke<&CRAVOExtension::REQ_HANG_UP>},
      {"REQ_CALLME", "REQ_CALLME_EVENT",
       {Var("varSessionID"), Var("varAgentKey"), Var("varPhoneNumber"), kLanguage},
       DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_CALLME_EVENT>},
  };
  // The voice operations come between the web ones and the heartbeat.
  for (const auto& operation : VoiceOperations()) rows.push_back(VoiceBrowserRow(operation));
  rows.push_back({"REQ_HEARTBEAT", "REQ_HEARTBEAT", {Var("varHostName"), Var("varWebApp"), Var("varPort")},
                  DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_HEARTBEAT>});
  return rows;
}

std::string Extract(std::string_view parameters, std::string_view name) {
  std::string key(name);
  key.push_back('=');
  std::string value;
  ExtractWebVar(parameters, key, value);
  return value;
}

bool HasMarkup(std::string_view text) { return text.find_first_of("&<>\"'") != std::string_view::npos; }

constexpr std::size_t kRequestNameLimit = 32;
constexpr std::size_t kLanguageLimit = 50;
constexpr std::size_t kBusinessUnitLimit = 32;

}  // namespace

const std::vector<DispatchRow>& DispatchTable() {
  static const std::vector<DispatchRow> table = BuildDispatchTable();
  return table;
}

const DispatchRow* FindDispatchRow(std::string_view request_name) {
  for (const auto& row : DispatchTable()) {
    if (request_name.find(row.requestName) != std::string_view::npos) return &row;
  }
  return nullptr;
}

std::vector<std::string> CollectHandlerArguments(const DispatchRow& row,
                                                 std::string_view parameters,
                                                 const CommonRequestValues& common) {
  std::vector<std::string> arguments;
  arguments.reserve(row.arguments.size());
  for (const auto& argument : row.arguments) {
    switch (argument.source) {
      case Source::kVariable: {
        auto value = Extract(parameters, argument.text);
        if (row.rule == DispatchRule::kPageNameWithoutMarkup && HasMarkup(value)) value.clear();
        arguments.push_back(std::move(value));
        break;
      }
      case Source::kCallData: {
        std::string data;
        GetRelevantParams(parameters, data);
        arguments.push_back(std::move(data));
        break;
      }
      case Source::kBusinessUnit: arguments.push_back(common.businessUnit); break;
      case Source::kLanguage: arguments.push_back(common.language); break;
      case Source::kFixed: arguments.emplace_back(argument.text); break;
    }
  }
  return arguments;
}

std::string CheckedLanguage(std::string language, const std::string& default_language) {
  const bool unusable = language.empty() || language.find("<WC") != std::string::npos ||
                        language.find_first_of(".&\\<>\"'/") != std::string::npos;
  return unusable ? default_language : language;
}

CommonRequestValues ExtractCommonValues(std::string_view parameters,
                                        const std::string& default_language) {
  CommonRequestValues common;
  common.requestName = CutTo(Extract(parameters, "varUserRequest"), kRequestNameLimit);
  common.language = CutTo(Extract(parameters, "varUserLanguage"), kLanguageLimit);
  common.businessUnit = CutTo(Extract(parameters, "varBusinessUnitName"), kBusinessUnitLimit);
  common.language = CheckedLanguage(std::move(common.language), default_language);
  return common;
}

int CRAVOExtension::InvokeHandler(const DispatchRow& row, CHttpServerContext* ctx,
                                  const std::vector<std::string>& arguments) {
  return row.invoke(*this, row, ctx, arguments);
}

int CRAVOExtension::CallFunction(CHttpServerContext* ctx, std::string_view query,
                                 std::string_view command) {
  int result = kCallOk;
  try {
    diag::TraceLine("CallFunction entered\n");
    diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::CallFunction entering", "ISAPI", 0);
    UpdateServerVariables(ctx);
    const std::string_view parameters = query.empty() ? command : query;

    ctx->m_pStream = ConstructStream();
    if (!ctx->m_pStream) {
      result = kCallNoStream;
    } else {
      const auto common = ExtractCommonValues(parameters, m_settings.defaultLanguage);
      const DispatchRow* row = FindDispatchRow(common.requestName);
      if (row == nullptr) {
        OutputErrorPage("1010", " ", common.language, ctx);
      } else {
        if (row->rule == DispatchRule::kRequireJavaScript &&
            Extract(parameters, "varJavaScriptSupport") != "yes") {
          OutputErrorPage("1008", "No Java Script Support in this browser", common.language, ctx);
          return kCallOk;
        }
        result = InvokeHandler(*row, ctx, CollectHandlerArguments(*row, parameters, common));
      }
    }
    if (result == kPendingResult) {
      // The worker thread owns the control block from here on and writes its
      // status itself; writing 200 here could overwrite the worker's status
      // or touch a block the host has already released.
      ctx->m_completionStatus = isapi::kStatusPending;
      result = kCallOk;
    }
    diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::CallFunction leaving", "ISAPI", 0);
    diag::TraceLine("CRAVOExtension::CallFunction: returning %d\n", result);
  } catch (...) {
    diag::TraceLine("CRAVOExtension::CallFunction: Unexpected exception\n");
    result = kCallUnexpectedException;
  }
  return result;
}
