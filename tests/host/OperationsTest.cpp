// The host labels a request with the operation the module dispatches it to,
// and with nothing else: compared against the module's own dispatcher over
// tricky and random parameter texts.
#include "host/Operations.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "extension/Dispatch.h"

namespace {

std::string ModuleOperation(const std::string& parameters) {
  const auto common = ExtractCommonValues(parameters, "en");
  const DispatchRow* row = FindDispatchRow(common.requestName);
  return row != nullptr ? std::string(row->requestName) : "other";
}

std::string HostOperation(const std::string& parameters) {
  return std::string(host::OperationName(host::OperationOf(parameters)));
}

TEST(OperationsTest, TheHostsNamesAreTheDispatchersInItsOrder) {
  const auto& table = DispatchTable();
  ASSERT_EQ(table.size() + 1, host::kOperationCount);
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(host::OperationName(static_cast<std::uint8_t>(i)), table[i].requestName) << i;
  }
  EXPECT_EQ(host::OperationName(host::kOtherOperation), "other");
}

TEST(OperationsTest, LabelsWhatTheModuleDispatches) {
  const std::vector<std::string> rows = {
      "varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=en",
      "a=1&VARUSERREQUEST=REQ_HANG_UPXYZ&varSessionID=5",
      "varUserRequest=xREQ_HEARTBEAT",
      "varUserRequest=REQ%5FDELTA%5FCHAT",
      "varUserRequest=REQ_VXML_QUERYSYSTEMSTATUS%",
      "varUserRequest=REQ_WEB_CALLBACK_AVAILABILITY",
      "varUserRequest=REQ_CALLBACK_AVAILABILITY",
      "varUserRequest=0123456789012345678901234REQ_HANG_UP",  // the name ends past the 32 bytes kept
      "varUserRequest=+++++++++++++++++++REQ_HANG_UP",
      "varUserRequest=%%%%%%%%%%%%%%%%%%%%REQ_HANG_UP",
      "varUserRequest=REQ_NOTIFY_TYPING_CHAT\rx",
      "varUserRequest=REQ_JS?START",
      "varUserRequest=",
      "varUserRequest",
      "",
      std::string("varUserRequest=REQ_STAT\0_PAGE", 29),
  };
  for (const auto& parameters : rows) EXPECT_EQ(HostOperation(parameters), ModuleOperation(parameters)) << parameters;

  // A flood of made-up names, some near the real ones.
  std::mt19937 random(18);
  const std::string pieces[] = {"REQ_", "HANG", "_UP", "%5F", "%", "+", "&", "VXML_", "x", "CHAT", "%41", "\r"};
  std::set<std::string> labels;
  for (int i = 0; i < 5000; ++i) {
    std::string parameters = "varUserRequest=";
    const int count = 1 + static_cast<int>(random() % 8);
    for (int j = 0; j < count; ++j) parameters += pieces[random() % std::size(pieces)];
    const std::string label = HostOperation(parameters);
    ASSERT_EQ(label, ModuleOperation(parameters)) << parameters;
    labels.insert(label);
  }
  EXPECT_GE(labels.size(), 2u);
}

}  // namespace
