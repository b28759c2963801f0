// The routes of the whole module: which handler serves a request name, and
// which response handler a message type. They name handlers of every service,
// so they sit above them all and the extension receives them when it is made.
#include <cassert>
#include <span>
#include <utility>
#include <vector>

#include "extension/Dispatch.h"
#include "extension/RAVO.h"
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
  return {operation.name, operation.name, std::move(arguments), DispatchRule::kNone, &InvokeVoiceBrowser,
          BackendService::kVoice};
}

std::vector<DispatchRow> BuildDispatchTable() {
  std::vector<DispatchRow> rows = {
      {"REQ_CALLBACK_AVAILABILITY", "REQ_WEB_CALLBACK_AVAILABILITY", {kBusinessUnit, kLanguage},
       DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_WEB_CALLBACK_AVAILABILITY>, BackendService::kCallback},
      {"REQ_WEB_CALLBACK", "REQ_WEB_CALLBACK",
       {Var("varCustomerName"), Var("varPhoneNumber"), Var("varCaption"), Var("varPriority"),
        Var("varCallType"), Var("varSchedules"), Var("varTimezoneOffset"), kCallData, kLanguage},
       DispatchRule::kRequireJavaScript,
       &Invoke<&CRAVOExtension::REQ_WEB_CALLBACK>, BackendService::kCallback},
      {"REQ_WEBCHAT_MAIN", "REQ_WEBCHAT_MAIN", {kBusinessUnit, kLanguage}, DispatchRule::kNone,
       &Invoke<&CRAVOExtension::REQ_WEBCHAT_MAIN>},
      {"REQ_STAT_PAGE", "REQ_STAT_PAGE", {kLanguage, Var("varPageName")},
       DispatchRule::kPageNameWithoutMarkup, &Invoke<&CRAVOExtension::REQ_STAT_PAGE>},
      {"REQ_JS_START", "REQ_JS_START",
       {Var("varSessionPriority"), Var("varCustomerName"), Var("varCaption"),
        Var("varDestination"), Var("varVEKALanguage"), Var("varSource"), kCallData,
        kBusinessUnit, kLanguage},
       DispatchRule::kNone,
       &Invoke<&CRAVOExtension::REQ_JS_START>, BackendService::kChat},
      {"REQ_DELTA_CHAT", "REQ_DELTA_CHAT", {Var("varSessionID"), Var("varIndexKey"), kLanguage},
       DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_DELTA_CHAT>, BackendService::kChat},
      {"REQ_ADD_TO_CHAT", "REQ_ADD_TO_CHAT",
       {Var("varSessionID"), Var("varChatData"), Var("varIndexKey"), kLanguage},
       DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_ADD_TO_CHAT>, BackendService::kChat},
      {"REQ_NOTIFY_TYPING_CHAT", "REQ_NOTIFY_TIPYNG_CHAT",
       {Var("varSessionID"), Var("varIsTypingData"), Var("varIndexKey"), kLanguage},
       DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_NOTIFY_TIPYNG_CHAT>, BackendService::kChat},
      {"REQ_HANG_UP", "REQ_HANG_UP", {Var("varSessionID"), kLanguage}, DispatchRule::kNone,
       &Invoke<&CRAVOExtension::REQ_HANG_UP>, BackendService::kChat},
      {"REQ_CALLME", "REQ_CALLME_EVENT",
       {Var("varSessionID"), Var("varAgentKey"), Var("varPhoneNumber"), kLanguage},
       DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_CALLME_EVENT>, BackendService::kChat},
  };
  // The voice operations come between the web ones and the heartbeat.
  for (const auto& operation : VoiceOperations()) rows.push_back(VoiceBrowserRow(operation));
  rows.push_back({"REQ_HEARTBEAT", "REQ_HEARTBEAT", {Var("varHostName"), Var("varWebApp"), Var("varPort")},
                  DispatchRule::kNone, &Invoke<&CRAVOExtension::REQ_HEARTBEAT>, BackendService::kPlainPool});
  return rows;
}

std::vector<CRAVOExtension::ResponseHandlerEntry> BuildResponseTable() {
  std::vector<CRAVOExtension::ResponseHandlerEntry> entries = {
      {20, &CRAVOExtension::RESP_JS_START},     {40, &CRAVOExtension::RESP_ADD_TO_CHAT},
      {310, &CRAVOExtension::RESP_NOTIFY_TIPYNG_CHAT}, {50, &CRAVOExtension::RESP_DELTA_CHAT},
      {70, &CRAVOExtension::RESP_HANG_UP},      {80, &CRAVOExtension::RESP_CALLME_EVENT},
      {100, &CRAVOExtension::RESP_WEB_CALLBACK_AVAILABILITY},
      {110, &CRAVOExtension::RESP_WEB_CALLBACK},
      {protocol::Number(protocol::MessageType::kHeartbeat), &CRAVOExtension::RESP_HEARTBEAT},
  };
  // Every voice operation's type has the one voice response handler.
  for (const auto& operation : VoiceOperations()) {
    entries.push_back({protocol::Number(operation.type), &CRAVOExtension::RESP_REQ_VXML});
  }
  return entries;
}

const CRAVOExtension::Routes& ModuleRoutes() {
  static const std::vector<CRAVOExtension::ResponseHandlerEntry> responses = BuildResponseTable();
  static const CRAVOExtension::Routes routes{DispatchTable(), responses};
  return routes;
}

}  // namespace

const std::vector<DispatchRow>& DispatchTable() {
  static const std::vector<DispatchRow> table = BuildDispatchTable();
  return table;
}

CRAVOExtension::CRAVOExtension(std::string module_path) : CRAVOExtension(std::move(module_path), ModuleRoutes()) {}
