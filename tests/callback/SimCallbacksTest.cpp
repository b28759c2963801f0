// vekacs-sim's callback service by its clock: opening hours, also over
// midnight, decide between the call types and "not available".
#include <gtest/gtest.h>

#include <sstream>

#include "sim/Callbacks.h"

namespace {

TEST(SimCallbacksTest, OpeningHoursDecideAvailability) {
  struct Case {
    const char* hours;
    int minute;
    const char* code;
  };
  const Case cases[] = {
      {"08:00-18:00", 8 * 60, "0"},       {"08:00-18:00", 18 * 60 - 1, "0"}, {"08:00-18:00", 18 * 60, "10"},
      {"08:00-18:00", 7 * 60 + 59, "10"}, {"22:00-06:00", 23 * 60, "0"},     {"22:00-06:00", 5 * 60, "0"},
      {"22:00-06:00", 12 * 60, "10"},     {"00:00-24:00", 0, "0"},           {"00:00-24:00", 1439, "0"},
      {"09:30-09:30", 9 * 60 + 30, "10"},
  };
  for (const auto& c : cases) {
    sim::Callbacks callbacks([&c] { return c.minute; });
    std::istringstream words(std::string("Service ") + c.hours);
    ASSERT_EQ(callbacks.Control("callback-hours", words), std::optional<std::string>("")) << c.hours;
    EXPECT_EQ(callbacks.Availability({"0000", "Service"}).front(), c.code) << c.hours << " at " << c.minute;
  }
}

}  // namespace
