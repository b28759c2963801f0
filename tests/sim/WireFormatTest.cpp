#include "sim/WireFormat.h"

#include <gtest/gtest.h>

#include "sim/ContactCenter.h"
#include "sim/Faults.h"

namespace {

TEST(SimWireFormatTest, ReadsTheModulesHeartbeatAndAnswersInKind) {
  sim::Request request;
  ASSERT_TRUE(sim::ParseRequest("10.04.00.0009000000645F5E1001100000040005web010004chat0002800000", request));
  EXPECT_EQ(request.id, 0x5F5E1001u);
  EXPECT_EQ(request.type, 1000);
  EXPECT_EQ(request.fields, (std::vector<std::string>{"web01", "chat", "80", ""}));
  EXPECT_FALSE(sim::ParseRequest("10.04.00.0009000000655F5E1001100000040005web010004chat0002800000", request))
      << "length field disagrees";
  const auto response = sim::EncodeResponse({131, 0x5F5E1001u, {"0", "41"}});
  EXPECT_EQ(response, "10.04.00.0009000000485F5E10010131000200010000241");
  EXPECT_EQ(sim::EncodeResponse({51, 1, {"0", "chat"}}).substr(37), "0001000000004chat");
}

TEST(SimContactCenterTest, PasswordIsCheckedAndReportsCanBeRefused) {
  sim::ContactCenter center("");
  sim::Request heartbeat{"", 1, 1000, {"h", "app", "80", ""}};
  EXPECT_EQ(center.Handle(heartbeat, false).fields.front(), "0");
  EXPECT_EQ(center.Heartbeats(), std::vector<std::string>{"h|app|80"});
  heartbeat.fields.back() = "x";
  EXPECT_EQ(center.Handle(heartbeat, false).fields.front(), sim::kCodeWrongPassword);
  sim::Request report{"", 2, 90, {"SEVR", "text", ""}};
  EXPECT_EQ(center.Handle(report, true).fields.front(), sim::kCodeReportRefused);
  EXPECT_EQ(center.Handle(report, false).fields.front(), "0");
  EXPECT_EQ(center.Reports(), std::vector<std::string>{"SEVR\ntext"});
}

TEST(SimFaultsTest, FaultsCountDownAndApplyToTheirRequests) {
  sim::Faults faults;
  EXPECT_FALSE(faults.Set("nonsense"));
  EXPECT_FALSE(faults.Set("delay"));
  ASSERT_TRUE(faults.Set("delay 5 2"));
  EXPECT_TRUE(faults.Take(20).has_value());
  EXPECT_TRUE(faults.Take(20).has_value());
  EXPECT_FALSE(faults.Take(20).has_value());
  ASSERT_TRUE(faults.Set("refuse-diag 0"));
  EXPECT_FALSE(faults.Take(1000).has_value()) << "only reports are refused";
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(faults.Take(90).has_value());
  faults.Clear();
  EXPECT_FALSE(faults.Take(90).has_value());
}

}  // namespace
