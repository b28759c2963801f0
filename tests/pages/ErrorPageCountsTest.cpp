#include <gtest/gtest.h>

#include <map>
#include <string>

#include "pages/ErrorPageCounts.h"

namespace {

std::map<std::string, std::uint64_t> Counts() {
  QX_ERROR_PAGE_COUNT counts[QX_ERROR_PAGE_CODES_KEPT + 1]{};
  const std::uint32_t found = pages::CopyErrorPageCounts(counts, QX_ERROR_PAGE_CODES_KEPT + 1);
  std::map<std::string, std::uint64_t> result;
  for (std::uint32_t i = 0; i < found && i < QX_ERROR_PAGE_CODES_KEPT + 1; ++i) result[counts[i].code] = counts[i].count;
  return result;
}

// Whatever codes arrive, what a host exports stays a bounded set of labels.
TEST(ErrorPageCountsTest, CodesOfDigitsAreCountedApartUpToTheTableAndTheRestAsOther) {
  const struct {
    const char* code;
    const char* countedAs;
  } rows[] = {
      {"1002", "1002"}, {"1002", "1002"}, {"3028", "3028"}, {"0", "0"},
      {"", "other"}, {"12a", "other"}, {"0042", "other"}, {"1234567", "other"}, {"-1", "other"},
      {"1002\n", "other"}, {"<script>", "other"},
  };
  // Other tests of this program may have counted pages before.
  auto counted = Counts();
  std::map<std::string, std::uint64_t> expected = counted;
  for (const auto& row : rows) {
    pages::CountErrorPage(row.code);
    ++expected[row.countedAs];
  }
  counted = Counts();
  EXPECT_EQ(counted, expected);

  // A back end that sends ever new codes fills the table, then "other" grows.
  const std::size_t free_slots = QX_ERROR_PAGE_CODES_KEPT + 1 - counted.size();
  for (int code = 5000; code < 5000 + 2 * QX_ERROR_PAGE_CODES_KEPT; ++code) pages::CountErrorPage(std::to_string(code));
  const auto after = Counts();
  EXPECT_EQ(after.size(), QX_ERROR_PAGE_CODES_KEPT + 1u);
  EXPECT_EQ(after.at("1002"), expected["1002"]);
  EXPECT_EQ(after.at("other"), expected["other"] + 2 * QX_ERROR_PAGE_CODES_KEPT - free_slots);

  // A short buffer gets what fits and learns how many there are.
  QX_ERROR_PAGE_COUNT one[1]{};
  EXPECT_EQ(pages::CopyErrorPageCounts(one, 1), QX_ERROR_PAGE_CODES_KEPT + 1u);
  EXPECT_EQ(after.count(one[0].code), 1u);
  EXPECT_EQ(after.at(one[0].code), one[0].count);
}

}  // namespace
