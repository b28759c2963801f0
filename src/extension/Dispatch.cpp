#include "extension/Dispatch.h"

#include <cassert>
#include <exception>
#include <utility>

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "extension/RequestVariables.h"
#include "platform/Text.h"

namespace {

using Source = HandlerArgument::Source;

std::string Extract(std::string_view parameters, std::string_view name) {
  // The names are a few bytes: the key is made on the stack.
  char room[64];
  std::string long_key;
  std::string_view key(room, name.size() + 1);
  if (key.size() <= sizeof room) {
    name.copy(room, name.size());
    room[name.size()] = '=';
  } else {
    key = long_key.append(name).append("=");
  }
  std::string value;
  ExtractWebVar(parameters, key, value);
  return value;
}

bool HasMarkup(std::string_view text) { return text.find_first_of("&<>\"'") != std::string_view::npos; }

constexpr std::size_t kRequestNameLimit = 32;
constexpr std::size_t kLanguageLimit = 50;
constexpr std::size_t kBusinessUnitLimit = 32;

}  // namespace

const DispatchRow* FindDispatchRow(const std::vector<DispatchRow>& rows, std::string_view request_name) {
  for (const auto& row : rows) {
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

std::string RequestNameWithoutRecords(std::string_view parameters) {
  std::string_view raw;
  if (!FindWebVar(parameters, "varUserRequest=", raw)) return {};
  std::string name;
  text::PercentDecode(raw, text::kFormValue, name);
  return CutTo(std::move(name), kRequestNameLimit);
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
      const DispatchRow* row = FindDispatchRow(m_routes.requests, common.requestName);
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
