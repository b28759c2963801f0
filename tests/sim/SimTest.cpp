#include <gtest/gtest.h>

#include "sim/ContactCenter.h"
#include "sim/Faults.h"

namespace {

TEST(SimContactCenterTest, PasswordIsCheckedAndReportsCanBeRefused) {
  sim::ContactCenter center("");
  sim::Request heartbeat{1, 1000, {"h", "app", "80", ""}};
  EXPECT_EQ(center.Handle(heartbeat, false).fields.front(), "0");
  EXPECT_EQ(center.Heartbeats(), std::vector<std::string>{"h|app|80"});
  heartbeat.fields.back() = "x";
  EXPECT_EQ(center.Handle(heartbeat, false).fields.front(), "3001");
  sim::Request report{2, 90, {"SEVR", "text", ""}};
  EXPECT_EQ(center.Handle(report, true).fields.front(), "3003");
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
  // A fault for one type leaves the others alone and counts only its own.
  ASSERT_TRUE(faults.Set("close 1 type 40"));
  EXPECT_FALSE(faults.Take(50).has_value());
  const auto close = faults.Take(40);
  ASSERT_TRUE(close.has_value());
  EXPECT_EQ(close->kind, sim::Fault::Kind::kClose);
  EXPECT_FALSE(faults.Take(40).has_value());
  ASSERT_TRUE(faults.Set("down type 50"));
  EXPECT_FALSE(faults.Take(40).has_value());
  EXPECT_EQ(faults.Take(50)->kind, sim::Fault::Kind::kDown);
  for (const char* bad : {"down type", "down type x", "delay 5 2 3", "close x", "down 0 type 0"}) {
    EXPECT_FALSE(faults.Set(bad)) << bad;
  }
}

}  // namespace
