#include "host/AnswerTimes.h"

#include <gtest/gtest.h>

#include <vector>

namespace host {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr microseconds kLimit(2000);

struct Row {
  const char* what;
  std::vector<microseconds> answers;  // of one operation, in order
  microseconds expected_wait;
};

TEST(AnswerTimesTest, WaitsOnlyWhereAnswersAreUsuallyQuick) {
  const std::vector<microseconds> quick(30, microseconds(100));
  std::vector<microseconds> hung_then_quick(3, milliseconds(60'000));
  hung_then_quick.insert(hung_then_quick.end(), 25, microseconds(100));
  std::vector<microseconds> hung_then_few_quick(3, milliseconds(60'000));
  hung_then_few_quick.insert(hung_then_few_quick.end(), 5, microseconds(100));
  std::vector<microseconds> quick_with_outlier(20, microseconds(100));
  quick_with_outlier.push_back(microseconds(3000));
  const Row rows[] = {
      {"nothing learned yet", {}, kLimit},
      {"quick answers", quick, kLimit},
      {"one slow answer", {milliseconds(20)}, microseconds(0)},
      {"answers just over the limit", std::vector<microseconds>(20, microseconds(2100)), microseconds(0)},
      {"an outlier a little over the limit", quick_with_outlier, kLimit},
      {"a hung back end, then few quick answers", hung_then_few_quick, microseconds(0)},
      // Long hangs count no more than a bounded slow answer: recovery
      // takes a few dozen answers, not thousands.
      {"a hung back end, then quick answers", hung_then_quick, kLimit},
  };
  for (const auto& row : rows) {
    AnswerTimes times(kLimit);
    for (const auto answer : row.answers) times.Record(3, answer);
    EXPECT_EQ(times.WaitFor(3).count(), row.expected_wait.count()) << row.what;
    EXPECT_EQ(times.WaitFor(4).count(), kLimit.count()) << row.what << ": another operation";
  }
}

}  // namespace
}  // namespace host
